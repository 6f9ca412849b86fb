#include "capture/bmp_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "capture/dib.h"
#include "platform/win_handles.h"

namespace {

namespace fs = std::filesystem;

CapturedFrame NumberedFrame(int32_t w, int32_t h) {
    CapturedFrame f;
    f.width = w;
    f.height = h;
    f.stride = PaddedStride(w);
    f.pixels.resize(static_cast<size_t>(f.stride) * h);
    for (int32_t row = 0; row < h; ++row)
        for (int32_t i = 0; i < 3 * w; ++i)
            f.pixels[static_cast<size_t>(row) * f.stride + i] = static_cast<uint8_t>(row + 3 * i);
    return f;
}

// A movable block holding `bytes`, as the capture action makes it.
UniqueGlobal BlockOf(const std::vector<uint8_t>& bytes) {
    UniqueGlobal block(::GlobalAlloc(GMEM_MOVEABLE, bytes.size()));
    if (block) {
        GlobalLockGuard lock(block.get());
        if (lock.data()) std::memcpy(lock.data(), bytes.data(), bytes.size());
    }
    return block;
}

std::vector<uint8_t> ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class BmpFileTest : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               (L"snapward_bmp_test_" + std::to_wstring(::GetCurrentProcessId()));
        fs::remove_all(dir_);
        ASSERT_TRUE(fs::create_directories(dir_));
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    fs::path dir_;
};

}  // namespace

TEST_F(BmpFileTest, WritesHeaderAndDibReadBackFromDisk) {
    // 641 wide: padded rows, so the file must carry the padding bytes too.
    const std::vector<uint8_t> dib = EncodePackedDib(NumberedFrame(641, 3));
    UniqueGlobal block = BlockOf(dib);
    ASSERT_TRUE(block);
    const fs::path path = dir_ / L"capture.bmp";
    ASSERT_TRUE(WriteBmpFile(path.c_str(), block.get()));

    const std::vector<uint8_t> file = ReadAll(path);
    ASSERT_EQ(file.size(), 54u + 3 * 1924);
    const auto header = EncodeBmpFileHeader(dib.data(), dib.size());
    EXPECT_TRUE(std::equal(header.begin(), header.end(), file.begin()));
    EXPECT_TRUE(std::equal(dib.begin(), dib.end(), file.begin() + 14));
    EXPECT_EQ(file[0], 'B');
    EXPECT_EQ(file[1], 'M');
    // The block is still the caller's and still usable.
    GlobalLockGuard lock(block.get());
    EXPECT_NE(lock.data(), nullptr);
}

TEST_F(BmpFileTest, ReplacesAnExistingFileEntirely) {
    const fs::path path = dir_ / L"existing.bmp";
    std::ofstream(path, std::ios::binary) << std::string(5000, 'x');
    UniqueGlobal block = BlockOf(EncodePackedDib(NumberedFrame(1, 1)));
    ASSERT_TRUE(WriteBmpFile(path.c_str(), block.get()));
    EXPECT_EQ(ReadAll(path).size(), 58u);
}

TEST_F(BmpFileTest, FileThatCannotBeCreatedFailsAndLeavesNothing) {
    UniqueGlobal block = BlockOf(EncodePackedDib(NumberedFrame(2, 2)));
    EXPECT_FALSE(WriteBmpFile(dir_.c_str(), block.get()));  // a directory
    EXPECT_TRUE(fs::is_directory(dir_));
    const fs::path missing = dir_ / L"no such folder" / L"a.bmp";
    EXPECT_FALSE(WriteBmpFile(missing.c_str(), block.get()));
    EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(BmpFileTest, BlockThatIsNotAWholeDibWritesNothing) {
    const fs::path path = dir_ / L"keep.bmp";
    std::ofstream(path, std::ios::binary) << "old";
    // biSizeImage claims far more pixels than the block holds.
    std::vector<uint8_t> dib = EncodePackedDib(NumberedFrame(2, 2));
    dib[21] = 0x40;
    UniqueGlobal liar = BlockOf(dib);
    UniqueGlobal tiny = BlockOf(std::vector<uint8_t>(20, 0));
    EXPECT_FALSE(WriteBmpFile(path.c_str(), liar.get()));
    EXPECT_FALSE(WriteBmpFile(path.c_str(), tiny.get()));
    EXPECT_FALSE(WriteBmpFile(path.c_str(), nullptr));
    EXPECT_EQ(ReadAll(path), (std::vector<uint8_t>{'o', 'l', 'd'}));

    const fs::path fresh = dir_ / L"fresh.bmp";
    EXPECT_FALSE(WriteBmpFile(fresh.c_str(), liar.get()));
    EXPECT_FALSE(fs::exists(fresh));
}
