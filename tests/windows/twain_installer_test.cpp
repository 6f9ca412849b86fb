// The TWAIN installer's path builders, its command line for cmd.exe, and its
// message-box flows against a scratch Windows directory.

#include "app/twain_installer.h"

#include "capture_test_support.h"

using namespace capture_test;

namespace {

// The "Snapward" message boxes of this thread are answered from inside their
// modal loops (a thread timer): each box's buttons ("[Yes/No] " or "[OK] ") and
// first line are noted, then the next of boxAnswers is pressed (OK once they run out).
std::vector<int> boxAnswers;
std::vector<std::wstring> boxesSeen;

BOOL CALLBACK LongestText(HWND child, LPARAM longest) {
    wchar_t text[1024] = {};
    GetWindowTextW(child, text, 1024);
    auto* best = reinterpret_cast<std::wstring*>(longest);
    if (wcslen(text) > best->size()) *best = text;
    return TRUE;
}

void CALLBACK AnswerBox(HWND, UINT, UINT_PTR, DWORD) {
    HWND box = FindWindowW(L"#32770", L"Snapward");
    if (!box || !IsWindowVisible(box) || GetWindowThreadProcessId(box, nullptr) != GetCurrentThreadId()) return;
    std::wstring text;
    EnumChildWindows(box, LongestText, reinterpret_cast<LPARAM>(&text));
    boxesSeen.push_back((GetDlgItem(box, IDYES) ? L"[Yes/No] " : L"[OK] ") + text.substr(0, text.find(L'\n')));
    int button = boxesSeen.size() <= boxAnswers.size() ? boxAnswers[boxesSeen.size() - 1] : IDOK;
    if (!GetDlgItem(box, button)) button = GetDlgItem(box, IDOK) ? IDOK : IDNO;
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
std::string ReadAll(const std::wstring& path) {
    const std::vector<uint8_t> bytes = ReadWholeFile(path);
    return {bytes.begin(), bytes.end()};
}

using Boxes = std::vector<std::wstring>;
constexpr wchar_t ASK[] = L"[Yes/No] Install Snapward as a TWAIN source?";
constexpr wchar_t INSTALLED[] = L"[OK] TWAIN source installed successfully!";
constexpr wchar_t ALREADY[] = L"[OK] Snapward is already installed as a TWAIN source.";
constexpr wchar_t TOO_LONG[] = L"[OK] The TWAIN source cannot be installed from here: a folder path is too long.";

// A scratch "Windows directory" and a program folder holding a stand-in
// Orvendel.ds; & ^ ( ) and spaces in its name are plain characters between quotes.
class InstallerFlow : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(CreateDirectoryW(windows_.c_str(), nullptr));
        UseProgramFolder(L"Tools & Toys (x86) ^1");
    }
    void UseProgramFolder(const std::wstring& name) {
        program_ = root_.path() + L"\\" + name;
        CreateDirectoryW(program_.c_str(), nullptr);
        std::ofstream(std::filesystem::path(program_ + L"\\Orvendel.ds"), std::ios::binary) << payload_;
    }
    // Runs the install, answering its boxes; returns what they said.
    std::vector<std::wstring> Install(std::vector<int> answers, std::wstring windows = {}, std::wstring module = {}) {
        boxAnswers = std::move(answers);
        boxesSeen.clear();
        const UINT_PTR timer = SetTimer(nullptr, 0, 20, AnswerBox);
        InstallTwainSourceFrom(nullptr, windows.empty() ? windows_ : windows,
                               module.empty() ? program_ + L"\\Snapward.exe" : module);
        KillTimer(nullptr, timer);
        return boxesSeen;
    }

    ScratchFolder root_{L"snapward-twain-installer"};
    const std::wstring windows_ = root_.path() + L"\\windows";
    const std::wstring folder_ = windows_ + L"\\twain_32";
    const std::wstring destination_ = folder_ + L"\\Orvendel.ds";
    std::wstring program_;
    const std::string payload_ = std::string("MZ stand-in for the data source\0\x01\xff", 36);
};

}  // namespace

TEST(TwainInstallerPaths, BuiltFromTheWindowsDirectoryAndTheExecutableAndRefusedRatherThanCut) {
    std::wstring folder;
    std::wstring destination;
    std::wstring source;
    // A Windows directory at a drive's root ends in a backslash already.
    ASSERT_TRUE(BuildTwainFolder(L"D:\\", folder) && BuildTwainDestination(folder, destination));
    EXPECT_EQ(destination, L"D:\\twain_32\\Orvendel.ds");
    // "\twain_32" adds 9 units and "\Orvendel.ds" 12: a Windows directory of 238
    // units gives a destination of 259, the most that fits with its terminator.
    const std::wstring fits = L"C:\\" + std::wstring(235, L'w');
    ASSERT_TRUE(BuildTwainFolder(fits, folder) && BuildTwainDestination(folder, destination));
    EXPECT_EQ(destination.size(), 259u);
    ASSERT_TRUE(BuildTwainFolder(fits + L"w", folder));
    EXPECT_FALSE(BuildTwainDestination(folder, destination));

    // A long file name is replaced by a shorter one: only the result must fit.
    const std::wstring longName = L"C:\\P\\" + std::wstring(254, L'n');
    ASSERT_TRUE(BuildTwainSourcePath(longName, source));
    EXPECT_EQ(source, L"C:\\P\\Orvendel.ds");
    EXPECT_FALSE(BuildTwainSourcePath(longName + L"n", source));  // the module path was cut
    EXPECT_FALSE(BuildTwainSourcePath(L"C:\\" + std::wstring(245, L'd') + L"\\S.exe", source));
    EXPECT_FALSE(BuildTwainSourcePath(L"Snapward.exe", source));  // no folder at all
}

// Between double quotes cmd.exe still expands %NAME% and !NAME!, and a quote
// or a line break would end the argument or the command.
TEST(TwainInstallerCommand, RefusesWhatCmdWouldChange) {
    for (const wchar_t* bad : {L"C:\\100%PATH%x", L"C:\\Hi!there!", L"C:\\a\"b", L"C:\\line\nbreak"}) {
        SCOPED_TRACE(bad);
        std::wstring command;
        EXPECT_EQ(BuildInstallCommandLine(L"C:\\W", bad, L"C:\\W\\O.ds", command), CommandLineResult::UnsafePath);
        EXPECT_EQ(BuildInstallCommandLine(L"C:\\W", L"C:\\P\\O.ds", bad, command), CommandLineResult::UnsafePath);
    }
}

TEST_F(InstallerFlow, NoCopiesNothingYesCopiesWithOrWithoutTheFolderThenItIsAlreadyInstalled) {
    EXPECT_EQ(Install({IDNO}), (Boxes{ASK}));
    EXPECT_FALSE(Exists(folder_));
    EXPECT_EQ(Install({IDYES}), (Boxes{ASK, INSTALLED}));
    EXPECT_EQ(ReadAll(destination_), payload_);
    EXPECT_TRUE(IsTwainSourceInstalledIn(windows_));
    // The folder is there now: mkdir fails, and the copy runs all the same.
    ASSERT_TRUE(DeleteFileW(destination_.c_str()));
    EXPECT_EQ(Install({IDYES}), (Boxes{ASK, INSTALLED}));
    EXPECT_EQ(ReadAll(destination_), payload_);
    // An existing copy is left as it is, whatever the answer would be.
    std::ofstream(std::filesystem::path(destination_), std::ios::binary) << "older copy";
    EXPECT_EQ(Install({IDYES}), (Boxes{ALREADY}));
    EXPECT_EQ(ReadAll(destination_), "older copy");
}

TEST_F(InstallerFlow, RefusalsComeBeforeTheQuestionAndCopyNothing) {
    DeleteFileW((program_ + L"\\Orvendel.ds").c_str());  // missing beside the program
    EXPECT_EQ(Install({IDYES}), (Boxes{L"[OK] The TWAIN source is not installed."}));
    // A folder that cmd.exe would expand.
    UseProgramFolder(L"100%PATH%x");
    EXPECT_EQ(Install({IDYES}), (Boxes{L"[OK] The TWAIN source cannot be installed from here: a folder path contains a "
                                       L"character that the command processor would change (% ! or \")."}));
    // Paths too long, of the Windows directory or of the program.
    EXPECT_EQ(Install({IDYES}, L"C:\\" + std::wstring(250, L'w')), (Boxes{TOO_LONG}));
    EXPECT_EQ(Install({IDYES}, {}, L"C:\\" + std::wstring(300, L'p') + L"\\Snapward.exe"), (Boxes{TOO_LONG}));
    EXPECT_FALSE(Exists(folder_));
}
