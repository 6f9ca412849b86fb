#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "app/twain_installer.h"

namespace {

// One message box as the presser saw it.
struct SeenBox {
    std::wstring text;
    bool hasYes = false;
};

// Answers the "Snapward" message boxes that one thread shows, in order, from a
// thread of its own: reads each box's text, then presses the next button of
// `answers` (OK once they run out).
class BoxPresser {
public:
    BoxPresser(DWORD boxThread, std::vector<int> answers)
        : boxThread_(boxThread), answers_(std::move(answers)), worker_([this] { Run(); }) {}
    ~BoxPresser() { Finish(); }

    std::vector<SeenBox> Finish() {
        stop_ = true;
        if (worker_.joinable()) worker_.join();
        return seen_;
    }

private:
    static BOOL CALLBACK FindBox(HWND window, LPARAM found) {
        wchar_t className[16] = {};
        wchar_t caption[32] = {};
        GetClassNameW(window, className, 16);
        GetWindowTextW(window, caption, 32);
        if (IsWindowVisible(window) && wcscmp(className, L"#32770") == 0 &&
            wcscmp(caption, L"Snapward") == 0) {
            *reinterpret_cast<HWND*>(found) = window;
            return FALSE;
        }
        return TRUE;
    }

    static BOOL CALLBACK LongestStatic(HWND child, LPARAM longest) {
        wchar_t className[16] = {};
        GetClassNameW(child, className, 16);
        if (_wcsicmp(className, L"Static") != 0) return TRUE;
        wchar_t text[1024] = {};
        GetWindowTextW(child, text, 1024);
        auto* best = reinterpret_cast<std::wstring*>(longest);
        if (wcslen(text) > best->size()) *best = text;
        return TRUE;
    }

    void Run() {
        size_t next = 0;
        while (!stop_) {
            HWND box = nullptr;
            EnumThreadWindows(boxThread_, FindBox, reinterpret_cast<LPARAM>(&box));
            if (!box) {
                Sleep(20);
                continue;
            }
            SeenBox seen;
            std::wstring text;
            EnumChildWindows(box, LongestStatic, reinterpret_cast<LPARAM>(&text));
            seen.text = text;
            seen.hasYes = GetDlgItem(box, IDYES) != nullptr;
            seen_.push_back(seen);

            int button = next < answers_.size() ? answers_[next++] : IDOK;
            if (!GetDlgItem(box, button)) button = GetDlgItem(box, IDOK) ? IDOK : IDNO;
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
            for (int i = 0; i < 250 && IsWindow(box); ++i) Sleep(20);
        }
    }

    DWORD boxThread_;
    std::vector<int> answers_;
    std::vector<SeenBox> seen_;
    std::atomic<bool> stop_{false};
    std::thread worker_;
};

std::vector<SeenBox> RunInstall(const std::wstring& windowsDirectory,
                                const std::wstring& modulePath, std::vector<int> answers) {
    BoxPresser presser(GetCurrentThreadId(), std::move(answers));
    InstallTwainSourceFrom(nullptr, windowsDirectory, modulePath);
    return presser.Finish();
}

bool Contains(const std::wstring& text, const wchar_t* part) {
    return text.find(part) != std::wstring::npos;
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadAll(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    out << bytes;
}

void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring child = path + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
}

// A scratch "Windows directory" and a program folder holding a stand-in
// Orvendel.ds, both under %TEMP%, removed again afterwards.
class InstallerFlow : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        root_ = std::wstring(temp) + L"snapward-twain-installer";
        RemoveTree(root_);
        ASSERT_TRUE(CreateDirectoryW(root_.c_str(), nullptr));
        windows_ = root_ + L"\\windows";
        ASSERT_TRUE(CreateDirectoryW(windows_.c_str(), nullptr));
        UseProgramFolder(L"program");
    }
    void TearDown() override { RemoveTree(root_); }

    void UseProgramFolder(const std::wstring& name) {
        program_ = root_ + L"\\" + name;
        CreateDirectoryW(program_.c_str(), nullptr);
        WriteAll(program_ + L"\\Orvendel.ds", payload_);
    }
    std::wstring Executable() const { return program_ + L"\\Snapward.exe"; }
    std::wstring Destination() const { return windows_ + L"\\twain_32\\Orvendel.ds"; }

    std::wstring root_;
    std::wstring windows_;
    std::wstring program_;
    const std::string payload_ = std::string("MZ stand-in for the data source\0\x01\xff", 36);
};

}  // namespace

TEST(TwainInstallerPaths, FolderAndDestinationComeFromTheWindowsDirectory) {
    std::wstring folder;
    std::wstring destination;
    ASSERT_TRUE(BuildTwainFolder(L"C:\\Windows", folder));
    EXPECT_EQ(folder, L"C:\\Windows\\twain_32");
    ASSERT_TRUE(BuildTwainDestination(folder, destination));
    EXPECT_EQ(destination, L"C:\\Windows\\twain_32\\Orvendel.ds");
    // A Windows directory at a drive's root already ends in a backslash.
    ASSERT_TRUE(BuildTwainFolder(L"D:\\", folder));
    EXPECT_EQ(folder, L"D:\\twain_32");

    EXPECT_FALSE(BuildTwainFolder(L"", folder));
}

TEST(TwainInstallerPaths, PathsThatDoNotFitAreRefusedNotCut) {
    std::wstring folder = L"unchanged";
    std::wstring destination = L"unchanged";
    // "\twain_32" adds 9 units and "\Orvendel.ds" 12: a Windows directory of 238
    // units gives a destination of 259, the most that fits with its terminator.
    std::wstring fits = L"C:\\" + std::wstring(235, L'w');
    ASSERT_TRUE(BuildTwainFolder(fits, folder));
    ASSERT_TRUE(BuildTwainDestination(folder, destination));
    EXPECT_EQ(destination.size(), 259u);

    std::wstring oneMore = fits + L"w";
    folder = L"unchanged";
    destination = L"unchanged";
    ASSERT_TRUE(BuildTwainFolder(oneMore, folder));
    EXPECT_FALSE(BuildTwainDestination(folder, destination));
    EXPECT_EQ(destination, L"unchanged");
    folder = L"unchanged";
    EXPECT_FALSE(BuildTwainFolder(L"C:\\" + std::wstring(248, L'w'), folder));
    EXPECT_EQ(folder, L"unchanged");
    EXPECT_FALSE(IsTwainSourceInstalledIn(oneMore));
}

TEST(TwainInstallerPaths, SourceSitsBesideTheExecutable) {
    std::wstring source;
    ASSERT_TRUE(BuildTwainSourcePath(L"C:\\Program Files\\Snapward\\Snapward.exe", source));
    EXPECT_EQ(source, L"C:\\Program Files\\Snapward\\Orvendel.ds");

    // A long file name is replaced by a shorter one: only the result must fit.
    std::wstring longName = L"C:\\P\\" + std::wstring(254, L'n');
    ASSERT_EQ(longName.size(), 259u);
    ASSERT_TRUE(BuildTwainSourcePath(longName, source));
    EXPECT_EQ(source, L"C:\\P\\Orvendel.ds");

    source = L"unchanged";
    EXPECT_FALSE(BuildTwainSourcePath(longName + L"n", source));  // the module path was cut
    std::wstring deepFolder = L"C:\\" + std::wstring(245, L'd') + L"\\S.exe";
    EXPECT_FALSE(BuildTwainSourcePath(deepFolder, source));  // folder + Orvendel.ds is 261
    EXPECT_FALSE(BuildTwainSourcePath(L"Snapward.exe", source));  // no folder at all
    EXPECT_EQ(source, L"unchanged");
}

TEST(TwainInstallerCommand, QuotesEachPathAndRefusesWhatCmdWouldChange) {
    std::wstring command;
    ASSERT_EQ(BuildInstallCommandLine(L"C:\\Windows\\twain_32", L"C:\\A & B (x86)^\\Orvendel.ds",
                                      L"C:\\Windows\\twain_32\\Orvendel.ds", command),
              CommandLineResult::Built);
    EXPECT_EQ(command,
              L"/c mkdir \"C:\\Windows\\twain_32\" 2>nul & copy /Y \"C:\\A & B (x86)^\\Orvendel.ds\" "
              L"\"C:\\Windows\\twain_32\\Orvendel.ds\"");

    for (const wchar_t* bad : {L"C:\\100%PATH%x\\Orvendel.ds", L"C:\\Hi!there!\\Orvendel.ds",
                               L"C:\\a\"b\\Orvendel.ds", L"C:\\line\nbreak\\Orvendel.ds"}) {
        SCOPED_TRACE(bad);
        command = L"unchanged";
        EXPECT_EQ(BuildInstallCommandLine(L"C:\\W\\twain_32", bad, L"C:\\W\\twain_32\\Orvendel.ds",
                                          command),
                  CommandLineResult::UnsafePath);
        EXPECT_EQ(BuildInstallCommandLine(L"C:\\W\\twain_32", L"C:\\P\\Orvendel.ds", bad, command),
                  CommandLineResult::UnsafePath);
        EXPECT_EQ(command, L"unchanged");
    }
}

TEST_F(InstallerFlow, DestinationPresentShowsOnlyTheAlreadyInstalledBox) {
    CreateDirectoryW((windows_ + L"\\twain_32").c_str(), nullptr);
    WriteAll(Destination(), "older copy");
    ASSERT_TRUE(IsTwainSourceInstalledIn(windows_));

    auto boxes = RunInstall(windows_, Executable(), {IDYES});
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(Contains(boxes[0].text, L"already installed as a TWAIN source"));
    EXPECT_FALSE(boxes[0].hasYes);
    EXPECT_EQ(ReadAll(Destination()), "older copy");
}

TEST_F(InstallerFlow, MissingSourceNamesTheInstallerAndTheFile) {
    DeleteFileW((program_ + L"\\Orvendel.ds").c_str());
    auto boxes = RunInstall(windows_, Executable(), {IDYES});
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(Contains(boxes[0].text, L"The TWAIN source is not installed."));
    EXPECT_TRUE(Contains(boxes[0].text, L"SnapwardSetup.exe"));
    EXPECT_TRUE(Contains(boxes[0].text, L"Orvendel.ds"));
    EXPECT_FALSE(Exists(windows_ + L"\\twain_32"));
}

TEST_F(InstallerFlow, AnsweringNoCopiesNothingAndSaysNothingMore) {
    auto boxes = RunInstall(windows_, Executable(), {IDNO});
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(Contains(boxes[0].text, L"Install Snapward as a TWAIN source?"));
    EXPECT_TRUE(boxes[0].hasYes);
    EXPECT_FALSE(Exists(windows_ + L"\\twain_32"));
    EXPECT_FALSE(IsTwainSourceInstalledIn(windows_));
}

TEST_F(InstallerFlow, YesCreatesTheMissingFolderCopiesAndReportsSuccess) {
    ASSERT_FALSE(Exists(windows_ + L"\\twain_32"));
    auto boxes = RunInstall(windows_, Executable(), {IDYES});
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_TRUE(Contains(boxes[0].text, L"Install Snapward as a TWAIN source?"));
    EXPECT_TRUE(Contains(boxes[1].text, L"TWAIN source installed successfully!"));
    EXPECT_TRUE(Contains(boxes[1].text, L"select \"Snapward\" as the source"));
    EXPECT_EQ(ReadAll(Destination()), payload_);
    EXPECT_TRUE(IsTwainSourceInstalledIn(windows_));

    // From now on the same command only says that it is there.
    boxes = RunInstall(windows_, Executable(), {IDYES});
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(Contains(boxes[0].text, L"already installed"));
}

TEST_F(InstallerFlow, YesCopiesIntoAnExistingFolderFromAFolderWithShellCharacters) {
    // & ^ ( ) and spaces are plain characters between quotes.
    UseProgramFolder(L"Tools & Toys (x86) ^1");
    ASSERT_TRUE(CreateDirectoryW((windows_ + L"\\twain_32").c_str(), nullptr));
    auto boxes = RunInstall(windows_, Executable(), {IDYES});
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_TRUE(Contains(boxes[1].text, L"installed successfully"));
    EXPECT_EQ(ReadAll(Destination()), payload_);
}

TEST_F(InstallerFlow, FolderThatCmdWouldExpandIsRefusedBeforeAsking) {
    UseProgramFolder(L"100%PATH%x");
    ASSERT_TRUE(Exists(program_ + L"\\Orvendel.ds"));
    auto boxes = RunInstall(windows_, Executable(), {IDYES});
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(Contains(boxes[0].text, L"command processor would change"));
    EXPECT_FALSE(boxes[0].hasYes);
    EXPECT_FALSE(Exists(windows_ + L"\\twain_32"));
}

TEST_F(InstallerFlow, PathsTooLongAreReportedAndNothingIsCopied) {
    auto boxes = RunInstall(L"C:\\" + std::wstring(250, L'w'), Executable(), {IDYES});
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(Contains(boxes[0].text, L"too long"));

    boxes = RunInstall(windows_, L"C:\\" + std::wstring(300, L'p') + L"\\Snapward.exe", {IDYES});
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(Contains(boxes[0].text, L"too long"));
    EXPECT_FALSE(Exists(windows_ + L"\\twain_32"));
}

// The program's own entry point: its Windows directory, and the Orvendel.ds
// that the build puts beside the test executables.
TEST(TwainInstallerSystem, InstallsTheBuiltSourceIntoTheWindowsFolder) {
    wchar_t windows[MAX_PATH] = {};
    ASSERT_GT(GetSystemWindowsDirectoryW(windows, MAX_PATH), 0u);
    std::wstring destination = std::wstring(windows) + L"\\twain_32\\Orvendel.ds";
    if (Exists(destination)) GTEST_SKIP() << "a data source is installed in this prefix";
    wchar_t executable[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, executable, MAX_PATH);
    std::wstring built = executable;
    built = built.substr(0, built.rfind(L'\\')) + L"\\Orvendel.ds";
    if (!Exists(built)) GTEST_SKIP() << "Orvendel.ds has not been built beside the tests";

    EXPECT_FALSE(IsTwainSourceInstalled());
    std::vector<SeenBox> boxes;
    {
        BoxPresser presser(GetCurrentThreadId(), {IDYES});
        InstallTwainSource(nullptr, GetModuleHandleW(nullptr));
        boxes = presser.Finish();
    }
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_TRUE(Contains(boxes[0].text, L"Install Snapward as a TWAIN source?"));
    EXPECT_TRUE(Contains(boxes[1].text, L"installed successfully"));
    EXPECT_TRUE(IsTwainSourceInstalled());
    EXPECT_EQ(ReadAll(destination), ReadAll(built));

    {
        BoxPresser presser(GetCurrentThreadId(), {IDYES});
        InstallTwainSource(nullptr, GetModuleHandleW(nullptr));
        boxes = presser.Finish();
    }
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(Contains(boxes[0].text, L"already installed"));

    DeleteFileW(destination.c_str());
    EXPECT_FALSE(IsTwainSourceInstalled());
}
