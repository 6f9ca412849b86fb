#include "capture/capture_action.h"

#include "capture_test_support.h"
#include "ui/resource_ids.h"

using namespace capture_test;

namespace {

constexpr size_t PATTERN_DIB_BYTES = 40 + 1280 * 3 * 720;

// A .bmp file of a pattern frame: the 14-byte file header (its fields are
// the BMP file test's), then a packed DIB.
::testing::AssertionResult IsPatternBmpFile(const std::wstring& path) {
    const std::vector<uint8_t> bytes = ReadWholeFile(path);
    if (bytes.size() != 14 + PATTERN_DIB_BYTES) return ::testing::AssertionFailure() << bytes.size() << " bytes";
    CapturedFrame frame;
    uint32_t counter = 0;
    if (auto parsed = DibToFrame(bytes.data() + 14, bytes.size() - 14, frame); !parsed) return parsed;
    return ::testing::AssertionResult(MatchesTestPattern(frame, 12, counter)) << "not the pattern";
}

class CaptureActionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(PutTextOnClipboard(L"before"));
        ASSERT_TRUE(camera.Open(PatternLink()));
        // Stands in for the capture dialog: its status line and preview control.
        dialog.reset(CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 320, 240, nullptr, nullptr, nullptr, nullptr));
        CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 300, 20, dialog.get(),
                        reinterpret_cast<HMENU>(IDC_STATUS), nullptr, nullptr);
        preview = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 0, 20, 160, 90, dialog.get(),
                                  reinterpret_cast<HMENU>(IDC_PREVIEW), nullptr, nullptr);
    }
    // The dialog's capture into `folder`; what its status line says afterwards.
    std::wstring Capture(const std::wstring& folder) {
        CaptureFromDialog(camera, dialog.get(), preview, count, folder.c_str());
        wchar_t text[256] = {};
        GetDlgItemTextW(dialog.get(), IDC_STATUS, text, 256);
        return text;
    }

    std::shared_ptr<ReaderScript> script = std::make_shared<ReaderScript>();
    Camera camera{ScriptedPatternOpener(script)};
    UniqueWindow dialog;
    HWND preview = nullptr;
    ScratchFolder pictures{L"snapward-pictures-test"};
    int32_t count = 0;
};

}  // namespace

TEST_F(CaptureActionTest, FreshUnlockedFramesSavedNeverReplacingAFileAndLeavingNoneOnFailure) {
    const SYSTEMTIME time = {2025, 3, 5, 7, 9, 5, 3, 0};
    const std::wstring stem = pictures.path() + L"\\Snapward_Capture_20250307_090503";
    Camera closed{ScriptedPatternOpener(script)};
    EXPECT_FALSE(CaptureDib(closed));
    EXPECT_EQ(script->opens, 1) << "a closed camera is not opened behind the caller's back";
    UniqueGlobal dib = CaptureDib(camera);
    ASSERT_TRUE(dib);
    EXPECT_EQ(GlobalFlags(dib.get()) & GMEM_LOCKCOUNT, 0u) << "returned locked";
    EXPECT_EQ(SaveCaptureFile(pictures.path().c_str(), time, dib.get()), stem + L".bmp");
    std::ofstream(std::filesystem::path(stem + L" (2).bmp"), std::ios::binary) << "second";
    EXPECT_EQ(SaveCaptureFile(pictures.path().c_str(), time, dib.get()), stem + L" (3).bmp");
    EXPECT_TRUE(IsPatternBmpFile(stem + L".bmp"));
    EXPECT_TRUE(IsPatternBmpFile(stem + L" (3).bmp"));
    EXPECT_EQ(ReadWholeFile(stem + L" (2).bmp").size(), 6u);

    ScratchFolder other(L"snapward-save-fail-test");
    // A path that would not fit in MAX_PATH is not cut short into some other name.
    const std::wstring longFolder = other.path() + L"\\" + std::wstring(200, L'x');
    ASSERT_TRUE(CreateDirectoryW(longFolder.c_str(), nullptr));
    EXPECT_EQ(SaveCaptureFile(longFolder.c_str(), time, dib.get()), L"");
    RemoveDirectoryW(longFolder.c_str());
    EXPECT_EQ(SaveCaptureFile((other.path() + L"\\missing").c_str(), time, dib.get()), L"");
    // A block that is no packed DIB: the claimed name is given back.
    UniqueGlobal junk(GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 10));
    EXPECT_EQ(SaveCaptureFile(other.path().c_str(), time, junk.get()), L"");
    EXPECT_TRUE(other.Files().empty());
}

// Counted once the clipboard holds the frame; the file, a second fresh frame,
// may fail on its own, and the status line says which step did.
TEST_F(CaptureActionTest, DialogCaptureCountsSavesAndTellsEachFailure) {
    {
        ClipboardHolder holder;
        ASSERT_TRUE(holder.opened());
        EXPECT_EQ(Capture(pictures.path()), L"Could not open clipboard.");
    }
    EXPECT_EQ(ClipboardText(), L"before");
    // A block whose memory has been discarded cannot be handed over.
    EXPECT_EQ(PutDibOnClipboard(dialog.get(), UniqueGlobal(GlobalAlloc(GMEM_MOVEABLE, 0))), ClipboardHandOver::Refused);
    {
        // As a clipboard manager reads the last change: the capture waits for it.
        ClipboardHolder briefly(100);
        ASSERT_TRUE(briefly.opened());
        EXPECT_EQ(Capture(pictures.path()), L"Captured! Image #1 copied to clipboard and saved to Pictures.");
    }
    EXPECT_TRUE(ClipboardHoldsPattern());
    ASSERT_EQ(pictures.Files().size(), 1u);
    EXPECT_TRUE(IsPatternBmpFile(pictures.path() + L"\\" + pictures.Files()[0]));
    const std::wstring tooLong = pictures.path() + L"\\" + std::wstring(MAX_PATH, L'x');
    EXPECT_EQ(Capture(tooLong), L"Captured! Image #2 copied to clipboard, but it could not be saved to Pictures.");
    ASSERT_TRUE(PutTextOnClipboard(L"before"));
    script->goodReads = script->reads + 1;  // the second grab fails
    EXPECT_EQ(Capture(pictures.path()), L"Captured! Image #3 copied to clipboard, but it could not be saved to Pictures.");
    EXPECT_TRUE(ClipboardHoldsPattern());
    EXPECT_EQ(pictures.Files().size(), 1u);
    ASSERT_TRUE(PutTextOnClipboard(L"before"));
    EXPECT_EQ(Capture(pictures.path()), L"Capture failed. The camera sent no picture.");
    EXPECT_EQ(count, 3);
    EXPECT_EQ(ClipboardText(), L"before");
    EXPECT_EQ(pictures.Files().size(), 1u);
}

// A 4K camera's whole picture: a 24.9 MB packed DIB on the clipboard and behind the file header, every size field
// past 16 MiB right, and the pixels the pattern.
TEST_F(CaptureActionTest, AFourKPictureReachesClipboardAndFileWhole) {
    Camera uhd{[](const std::wstring& link, CameraError& error) { return OpenTestPatternReader(link, nullptr, error); }};
    ASSERT_TRUE(uhd.Open(L"snapward-testpattern:nv12?modes=uhd", {3840, 2160}));
    int32_t captures = 0;
    CaptureFromDialog(uhd, dialog.get(), preview, captures, pictures.path().c_str());
    EXPECT_EQ(captures, 1);
    EXPECT_TRUE(ClipboardHoldsPattern(3840, 2160));
    ASSERT_EQ(pictures.Files().size(), 1u);
    const std::vector<uint8_t> bytes = ReadWholeFile(pictures.path() + L"\\" + pictures.Files()[0]);
    ASSERT_EQ(bytes.size(), 14u + 40 + 3840 * 3 * 2160);
    uint32_t fileSize = 0, pixelOffset = 0;
    std::memcpy(&fileSize, &bytes[2], 4);
    std::memcpy(&pixelOffset, &bytes[10], 4);
    EXPECT_TRUE(fileSize == bytes.size() && pixelOffset == 54);
    CapturedFrame frame;
    uint32_t counter = 0;
    ASSERT_TRUE(DibToFrame(bytes.data() + 14, bytes.size() - 14, frame));
    EXPECT_TRUE(frame.width == 3840 && frame.height == 2160 && MatchesTestPattern(frame, 12, counter));
}
