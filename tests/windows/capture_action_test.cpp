// The capture actions against the real clipboard, real files and a test-pattern
// camera.

#include "capture/capture_action.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <regex>
#include <string>

#include "camera/camera.h"
#include "camera/test_pattern.h"
#include "capture_test_support.h"
#include "platform/win_handles.h"
#include "ui/resource_ids.h"

using namespace capture_test;

namespace {

constexpr int PATTERN_TOLERANCE = 12;  // NV12's subsampled chroma, converted back
constexpr size_t PATTERN_DIB_BYTES = 40 + 1280 * 3 * 720;

// Stands in for the capture dialog: a status line with the dialog's control id
// and a preview control to flash.
class DialogStandIn {
public:
    DialogStandIn() {
        window_.reset(CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 320, 240, nullptr, nullptr,
                                      nullptr, nullptr));
        status_ = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 0, 0, 300, 20,
                                  window_.get(), reinterpret_cast<HMENU>(IDC_STATUS), nullptr, nullptr);
        preview_ = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 0, 20, 160, 90,
                                   window_.get(), reinterpret_cast<HMENU>(IDC_PREVIEW), nullptr, nullptr);
    }
    HWND window() const { return window_.get(); }
    HWND preview() const { return preview_; }
    std::wstring Status() const {
        wchar_t text[256] = {};
        GetWindowTextW(status_, text, 256);
        return text;
    }

private:
    UniqueWindow window_;
    HWND status_ = nullptr;
    HWND preview_ = nullptr;
};

::testing::AssertionResult IsPatternDib(const uint8_t* dib, size_t size, uint32_t* counter = nullptr) {
    CapturedFrame frame;
    ::testing::AssertionResult parsed = DibToFrame(dib, size, frame);
    if (!parsed) return parsed;
    uint32_t seen = 0;
    if (!MatchesTestPattern(frame, PATTERN_TOLERANCE, seen)) {
        return ::testing::AssertionFailure() << "not the test pattern, deviation "
                                             << TestPatternDeviation(frame, seen);
    }
    if (counter) *counter = seen;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult ClipboardHoldsPattern() {
    CapturedFrame frame;
    ::testing::AssertionResult read = ReadClipboardDib(frame);
    if (!read) return read;
    uint32_t counter = 0;
    if (!MatchesTestPattern(frame, PATTERN_TOLERANCE, counter)) {
        return ::testing::AssertionFailure() << "clipboard bitmap is not the test pattern";
    }
    return ::testing::AssertionSuccess();
}

// A .bmp file: the 14-byte header that sizes it, then a packed pattern DIB.
::testing::AssertionResult IsPatternBmpFile(const std::wstring& path) {
    const std::vector<uint8_t> bytes = ReadWholeFile(path);
    if (bytes.size() != 14 + PATTERN_DIB_BYTES) {
        return ::testing::AssertionFailure() << "file of " << bytes.size() << " bytes";
    }
    BITMAPFILEHEADER header;
    std::memcpy(&header, bytes.data(), 14);
    if (header.bfType != 0x4D42 || header.bfSize != bytes.size() || header.bfOffBits != 54 ||
        header.bfReserved1 != 0 || header.bfReserved2 != 0) {
        return ::testing::AssertionFailure() << "bad file header";
    }
    return IsPatternDib(bytes.data() + 14, bytes.size() - 14);
}

SYSTEMTIME FixedTime() {
    SYSTEMTIME time{};
    time.wYear = 2025;
    time.wMonth = 3;
    time.wDay = 7;
    time.wHour = 9;
    time.wMinute = 5;
    time.wSecond = 3;
    return time;
}

UniqueGlobal BlockOf(const std::vector<uint8_t>& bytes) {
    UniqueGlobal block(GlobalAlloc(GMEM_MOVEABLE, bytes.size()));
    if (block) {
        GlobalLockGuard lock(block.get());
        std::memcpy(lock.data(), bytes.data(), bytes.size());
    }
    return block;
}

void WriteWholeFile(const std::wstring& path, const std::string& text) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file);
    DWORD written = 0;
    WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace

TEST(CaptureDib, FreshPatternFrameAsUnlockedPackedDib) {
    auto script = std::make_shared<ReaderScript>();
    Camera camera(ScriptedPatternOpener(script));

    // Closed: nothing is read, nothing allocated.
    EXPECT_FALSE(CaptureDib(camera));
    EXPECT_EQ(script->opens, 0);

    ASSERT_TRUE(camera.Open(PatternLink()));
    UniqueGlobal first = CaptureDib(camera);
    ASSERT_TRUE(first);
    EXPECT_EQ(GlobalSize(first.get()), PATTERN_DIB_BYTES);
    EXPECT_EQ(GlobalFlags(first.get()) & GMEM_LOCKCOUNT, 0u) << "returned locked";
    uint32_t firstCounter = 0;
    {
        GlobalLockGuard lock(first.get());
        EXPECT_TRUE(IsPatternDib(static_cast<const uint8_t*>(lock.data()), PATTERN_DIB_BYTES,
                                 &firstCounter));
    }
    // Each call grabs anew.
    UniqueGlobal second = CaptureDib(camera);
    ASSERT_TRUE(second);
    uint32_t secondCounter = 0;
    {
        GlobalLockGuard lock(second.get());
        EXPECT_TRUE(IsPatternDib(static_cast<const uint8_t*>(lock.data()), PATTERN_DIB_BYTES,
                                 &secondCounter));
    }
    EXPECT_GT(secondCounter, firstCounter);

    // A camera that stops delivering gives no block.
    script->goodReads = script->reads;
    EXPECT_FALSE(CaptureDib(camera));
    script->failure = ReadOutcome::EndOfStream;
    EXPECT_FALSE(CaptureDib(camera));
}

TEST(PutDibOnClipboard, HandsOverOrReportsWhy) {
    DialogStandIn owner;
    std::vector<uint8_t> dib(40 + 4, 0);
    dib[0] = 40;   // biSize
    dib[4] = 1;    // 1 x 1
    dib[8] = 1;
    dib[12] = 1;   // planes
    dib[14] = 24;  // bits
    dib[20] = 4;   // biSizeImage
    dib[24] = dib[28] = 0xC4;  // 3780 pixels per metre
    dib[25] = dib[29] = 0x0E;
    dib[40] = 0x11;
    dib[41] = 0x22;
    dib[42] = 0x33;

    ASSERT_TRUE(PutTextOnClipboard(L"before"));
    {
        ClipboardHolder holder;
        ASSERT_TRUE(holder.opened());
        EXPECT_EQ(PutDibOnClipboard(owner.window(), BlockOf(dib)), ClipboardHandOver::CouldNotOpen);
    }
    EXPECT_EQ(ClipboardText(), L"before");

    EXPECT_EQ(PutDibOnClipboard(owner.window(), BlockOf(dib)), ClipboardHandOver::Copied);
    CapturedFrame frame;
    ASSERT_TRUE(ReadClipboardDib(frame));
    EXPECT_EQ(frame.width, 1);
    EXPECT_EQ(frame.pixels, (std::vector<uint8_t>{0x11, 0x22, 0x33, 0}));
    EXPECT_EQ(GetClipboardOwner(), owner.window());
    // Only the one format is ours: the text put there before is gone.
    EXPECT_EQ(ClipboardText(), L"");

    // A block whose memory has been discarded cannot be handed over.
    UniqueGlobal discarded(GlobalAlloc(GMEM_MOVEABLE, 0));
    ASSERT_TRUE(discarded);
    EXPECT_EQ(PutDibOnClipboard(owner.window(), std::move(discarded)), ClipboardHandOver::Refused);
}

TEST(SaveCaptureFile, NeverReplacesAFileOfTheSameSecond) {
    ScratchFolder folder(L"snapward-save-test");
    const std::wstring stem = folder.path() + L"\\Snapward_Capture_20250307_090503";
    WriteWholeFile(stem + L".bmp", "first");
    WriteWholeFile(stem + L" (2).bmp", "second");

    Camera camera(PatternOpener());
    ASSERT_TRUE(camera.Open(PatternLink()));
    UniqueGlobal dib = CaptureDib(camera);
    ASSERT_TRUE(dib);

    EXPECT_EQ(SaveCaptureFile(folder.path().c_str(), FixedTime(), dib.get()), stem + L" (3).bmp");
    EXPECT_TRUE(IsPatternBmpFile(stem + L" (3).bmp"));
    EXPECT_EQ(ReadWholeFile(stem + L".bmp"), (std::vector<uint8_t>{'f', 'i', 'r', 's', 't'}));
    EXPECT_EQ(ReadWholeFile(stem + L" (2).bmp").size(), 6u);
    // The block stays the caller's and can be saved again.
    EXPECT_EQ(SaveCaptureFile(folder.path().c_str(), FixedTime(), dib.get()), stem + L" (4).bmp");

    // In an empty folder the name is exactly the plain one.
    ScratchFolder empty(L"snapward-save-test-empty");
    EXPECT_EQ(SaveCaptureFile(empty.path().c_str(), FixedTime(), dib.get()),
              empty.path() + L"\\Snapward_Capture_20250307_090503.bmp");
}

TEST(SaveCaptureFile, FailsWithoutLeavingAFile) {
    ScratchFolder folder(L"snapward-save-fail-test");
    Camera camera(PatternOpener());
    ASSERT_TRUE(camera.Open(PatternLink()));
    UniqueGlobal dib = CaptureDib(camera);
    ASSERT_TRUE(dib);

    // A path that would not fit in MAX_PATH is not cut short into some other name.
    const std::wstring longFolder = folder.path() + L"\\" + std::wstring(200, L'x');
    ASSERT_TRUE(CreateDirectoryW(longFolder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    EXPECT_EQ(SaveCaptureFile(longFolder.c_str(), FixedTime(), dib.get()), L"");
    RemoveDirectoryW(longFolder.c_str());

    EXPECT_EQ(SaveCaptureFile((folder.path() + L"\\missing").c_str(), FixedTime(), dib.get()), L"");

    // A block that is no packed DIB: the claimed name is given back.
    UniqueGlobal junk = BlockOf(std::vector<uint8_t>(10, 0xAB));
    EXPECT_EQ(SaveCaptureFile(folder.path().c_str(), FixedTime(), junk.get()), L"");
    EXPECT_TRUE(folder.Files().empty());
}

class CaptureFromDialogTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(PutTextOnClipboard(L"before")); }

    std::shared_ptr<ReaderScript> script = std::make_shared<ReaderScript>();
    Camera camera{ScriptedPatternOpener(script)};
    DialogStandIn dialog;
    ScratchFolder pictures{L"snapward-pictures-test"};
    int32_t count = 0;
};

TEST_F(CaptureFromDialogTest, CountsCapturesAndSavesEachUnderItsOwnName) {
    ASSERT_TRUE(camera.Open(PatternLink()));
    for (int i = 1; i <= 3; ++i) {
        CaptureFromDialog(camera, dialog.window(), dialog.preview(), count, pictures.path().c_str());
        EXPECT_EQ(count, i);
        EXPECT_EQ(dialog.Status(), L"Captured! Image #" + std::to_wstring(i) +
                                       L" copied to clipboard and saved to Pictures.");
        EXPECT_TRUE(ClipboardHoldsPattern());
    }

    // Three files; those of one second carry " (2)", " (3)" in turn.
    const std::vector<std::wstring> files = pictures.Files();
    ASSERT_EQ(files.size(), 3u);
    const std::wregex name(LR"(Snapward_Capture_(\d{8}_\d{6})(?: \((\d+)\))?\.bmp)");
    std::map<std::wstring, std::vector<int>> numbersBySecond;
    for (const std::wstring& file : files) {
        std::wsmatch match;
        ASSERT_TRUE(std::regex_match(file, match, name)) << std::string(file.begin(), file.end());
        numbersBySecond[match[1]].push_back(match[2].matched ? std::stoi(match[2]) : 1);
        EXPECT_TRUE(IsPatternBmpFile(pictures.path() + L"\\" + file));
    }
    for (auto& [second, numbers] : numbersBySecond) {
        std::sort(numbers.begin(), numbers.end());
        for (size_t i = 0; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], static_cast<int>(i + 1));
    }
}

TEST_F(CaptureFromDialogTest, FailuresBeforeTheClipboardChangeNothing) {
    ASSERT_TRUE(camera.Open(PatternLink()));
    {
        ClipboardHolder holder;
        ASSERT_TRUE(holder.opened());
        CaptureFromDialog(camera, dialog.window(), dialog.preview(), count, pictures.path().c_str());
    }
    EXPECT_EQ(dialog.Status(), L"Could not open clipboard.");
    EXPECT_EQ(count, 0);
    EXPECT_EQ(ClipboardText(), L"before");
    EXPECT_TRUE(pictures.Files().empty());

    script->goodReads = script->reads;
    CaptureFromDialog(camera, dialog.window(), dialog.preview(), count, pictures.path().c_str());
    EXPECT_EQ(dialog.Status(), L"Capture failed. Camera may be in use by another app.");
    EXPECT_EQ(count, 0);
    EXPECT_EQ(ClipboardText(), L"before");
    EXPECT_TRUE(pictures.Files().empty());
}

TEST_F(CaptureFromDialogTest, FileStepFailureIsNotReportedAsSaved) {
    ASSERT_TRUE(camera.Open(PatternLink()));
    const std::wstring missing = pictures.path() + L"\\missing";
    CaptureFromDialog(camera, dialog.window(), nullptr, count, missing.c_str());
    EXPECT_EQ(dialog.Status(),
              L"Captured! Image #1 copied to clipboard, but it could not be saved to Pictures.");
    EXPECT_EQ(count, 1);
    EXPECT_TRUE(ClipboardHoldsPattern());

    // The second grab, the one meant for the file, fails.
    ASSERT_TRUE(PutTextOnClipboard(L"before"));
    script->goodReads = script->reads + 1;
    CaptureFromDialog(camera, dialog.window(), nullptr, count, pictures.path().c_str());
    EXPECT_EQ(dialog.Status(),
              L"Captured! Image #2 copied to clipboard, but it could not be saved to Pictures.");
    EXPECT_EQ(count, 2);
    EXPECT_TRUE(ClipboardHoldsPattern());
    EXPECT_TRUE(pictures.Files().empty());
}
