#include "capture/bmp_file.h"

#include <cstdint>

#include "capture/dib.h"
#include "platform/win_handles.h"

namespace {

bool WriteAll(HANDLE file, const void* bytes, DWORD count) {
    DWORD written = 0;
    return ::WriteFile(file, bytes, count, &written, nullptr) != FALSE && written == count;
}

NewBmpFile WriteBmp(const wchar_t* path, HGLOBAL packedDib, DWORD disposition) {
    if (path == nullptr || packedDib == nullptr) return NewBmpFile::Failed;

    // The block is checked before the file is created, so that a bad block
    // leaves an existing file of that name as it was.
    GlobalLockGuard lock(packedDib);
    const auto* dib = static_cast<const uint8_t*>(lock.data());
    if (dib == nullptr) return NewBmpFile::Failed;
    const auto header = EncodeBmpFileHeader(dib, ::GlobalSize(packedDib));
    if (header[0] != 'B') return NewBmpFile::Failed;  // sizes disagree with the block
    const uint32_t fileSize = uint32_t{header[2]} | uint32_t{header[3]} << 8 |
                              uint32_t{header[4]} << 16 | uint32_t{header[5]} << 24;
    const DWORD dibSize = fileSize - static_cast<DWORD>(BMP_FILE_HEADER_SIZE);

    UniqueFile file(::CreateFileW(path, GENERIC_WRITE | DELETE, 0, nullptr, disposition,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? NewBmpFile::NameTaken
                                                                            : NewBmpFile::Failed;
    }
    if (WriteAll(file.get(), header.data(), static_cast<DWORD>(header.size())) &&
        WriteAll(file.get(), dib, dibSize)) {
        return NewBmpFile::Written;
    }
    // A truncated bitmap is worse than none: nobody could tell it from a good
    // one. Removed through the handle still held, before anyone can open it.
    FILE_DISPOSITION_INFO remove{TRUE};
    if (!::SetFileInformationByHandle(file.get(), FileDispositionInfo, &remove, sizeof(remove))) {
        file.reset();
        ::DeleteFileW(path);
    }
    return NewBmpFile::Failed;
}

}  // namespace

bool WriteBmpFile(const wchar_t* path, HGLOBAL packedDib) {
    return WriteBmp(path, packedDib, CREATE_ALWAYS) == NewBmpFile::Written;
}

NewBmpFile WriteNewBmpFile(const wchar_t* path, HGLOBAL packedDib) {
    return WriteBmp(path, packedDib, CREATE_NEW);
}
