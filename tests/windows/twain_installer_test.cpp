// The TWAIN installer's path builders, its command line for cmd.exe, and its
// message-box flows against a scratch Windows directory, for 32-bit and for
// 64-bit Windows.

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
// Runs the install, answering its boxes; returns what they said.
Boxes AnsweredInstall(std::vector<int> answers, const std::wstring& windows, const std::wstring& module,
                      bool windows64) {
    boxAnswers = std::move(answers);
    boxesSeen.clear();
    const UINT_PTR timer = SetTimer(nullptr, 0, 20, AnswerBox);
    InstallTwainSourceFrom(nullptr, windows, module, windows64);
    KillTimer(nullptr, timer);
    return boxesSeen;
}

std::wstring WindowsDirectory() {
    wchar_t windows[MAX_PATH] = {};
    GetSystemWindowsDirectoryW(windows, MAX_PATH);
    return windows;
}

constexpr wchar_t ASK[] = L"[Yes/No] Install Snapward as a TWAIN source?";
constexpr wchar_t INSTALLED[] = L"[OK] TWAIN source installed successfully!";
constexpr wchar_t ALREADY[] = L"[OK] Snapward is already installed as a TWAIN source.";
constexpr wchar_t TOO_LONG[] = L"[OK] The TWAIN source cannot be installed from here: a folder path is too long.";

// A scratch "Windows directory" and a program folder holding stand-ins for
// Orvendel.ds and x64\Orvendel.ds, each with its own bytes; & ^ ( ) and spaces
// in its name are plain characters between quotes.
class InstallerFlow : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(CreateDirectoryW(windows_.c_str(), nullptr));
        UseProgramFolder(L"Tools & Toys (x86) ^1");
    }
    void UseProgramFolder(const std::wstring& name) {
        program_ = root_.path() + L"\\" + name;
        CreateDirectoryW(program_.c_str(), nullptr);
        CreateDirectoryW((program_ + L"\\x64").c_str(), nullptr);
        std::ofstream(std::filesystem::path(program_ + L"\\Orvendel.ds"), std::ios::binary) << payload_;
        std::ofstream(std::filesystem::path(program_ + L"\\x64\\Orvendel.ds"), std::ios::binary) << payload64_;
    }
    // The install on 32-bit (or 64-bit) Windows.
    Boxes Install(std::vector<int> answers, std::wstring windows = {}, std::wstring module = {},
                  bool windows64 = false) {
        return AnsweredInstall(std::move(answers), windows.empty() ? windows_ : windows,
                               module.empty() ? program_ + L"\\Snapward.exe" : module, windows64);
    }
    Boxes Install64(std::vector<int> answers) { return Install(std::move(answers), {}, {}, true); }

    ScratchFolder root_{L"snapward-twain-installer"};
    const std::wstring windows_ = root_.path() + L"\\windows";
    const std::wstring folder_ = windows_ + L"\\twain_32";
    const std::wstring destination_ = folder_ + L"\\Orvendel.ds";
    const std::wstring folder64_ = windows_ + L"\\twain_64";
    const std::wstring destination64_ = folder64_ + L"\\Orvendel.ds";
    std::wstring program_;
    const std::string payload_ = std::string("MZ stand-in for the data source\0\x01\xff", 36);
    const std::string payload64_ = std::string("MZ stand-in for the 64-bit source\0\x02", 36);
};

}  // namespace

TEST(TwainInstallerPaths, BuiltFromTheWindowsDirectoryAndTheExecutableAndRefusedRatherThanCut) {
    std::wstring folder;
    std::wstring destination;
    std::wstring source;
    // A Windows directory at a drive's root ends in a backslash already.
    ASSERT_TRUE(BuildTwainFolder(L"D:\\", TWAIN_32.folderName, folder) && BuildTwainDestination(folder, destination));
    EXPECT_EQ(destination, L"D:\\twain_32\\Orvendel.ds");
    // "\twain_64" adds 9 units and "\Orvendel.ds" 12: a Windows directory of 238
    // units gives a destination of 259, the most that fits with its terminator.
    const std::wstring fits = L"C:\\" + std::wstring(235, L'w');
    ASSERT_TRUE(BuildTwainFolder(fits, TWAIN_64.folderName, folder) && BuildTwainDestination(folder, destination));
    EXPECT_EQ(destination, fits + L"\\twain_64\\Orvendel.ds");
    EXPECT_EQ(destination.size(), 259u);
    ASSERT_TRUE(BuildTwainFolder(fits + L"w", TWAIN_64.folderName, folder));
    EXPECT_FALSE(BuildTwainDestination(folder, destination));

    // A long file name is replaced by a shorter one: only the result must fit.
    const std::wstring longName = L"C:\\P\\" + std::wstring(254, L'n');
    ASSERT_TRUE(BuildTwainSourcePath(longName, TWAIN_32.besideProgram, source));
    EXPECT_EQ(source, L"C:\\P\\Orvendel.ds");
    // The 64-bit source lies in a folder beside the program: 4 units more,
    // and a result of 259 units is still the most that fits.
    EXPECT_FALSE(BuildTwainSourcePath(L"C:\\" + std::wstring(241, L'd') + L"\\S.exe", TWAIN_64.besideProgram, source));
    ASSERT_TRUE(BuildTwainSourcePath(L"C:\\" + std::wstring(240, L'd') + L"\\S.exe", TWAIN_64.besideProgram, source));
    EXPECT_EQ(source, L"C:\\" + std::wstring(240, L'd') + L"\\x64\\Orvendel.ds");
    EXPECT_FALSE(BuildTwainSourcePath(longName + L"n", TWAIN_32.besideProgram, source));  // the module path was cut
    EXPECT_FALSE(BuildTwainSourcePath(L"C:\\" + std::wstring(245, L'd') + L"\\S.exe", TWAIN_32.besideProgram, source));
    EXPECT_FALSE(BuildTwainSourcePath(L"Snapward.exe", TWAIN_32.besideProgram, source));  // no folder at all
}

// The copies of a 64-bit system, with their sources filled in as the install
// does, in `windows`.
std::vector<TwainCopy> BothCopies(const std::wstring& windows, const std::wstring& program) {
    std::vector<TwainCopy> copies;
    EXPECT_TRUE(BuildTwainCopies(windows, true, copies));
    for (TwainCopy& copy : copies) EXPECT_TRUE(BuildTwainSourcePath(program + L"\\S.exe", copy.flavour.besideProgram, copy.source));
    return copies;
}

TEST(TwainInstallerCommand, OneCommandCopiesBothSourcesWhenItFits) {
    std::wstring command;
    ASSERT_EQ(BuildInstallCommandLine(BothCopies(L"C:\\Windows", L"C:\\P"), command), CommandLineResult::Built);
    EXPECT_EQ(command, L"/c mkdir \"C:\\Windows\\twain_32\" 2>nul & copy /Y \"C:\\P\\Orvendel.ds\" "
                       L"\"C:\\Windows\\twain_32\\Orvendel.ds\" & mkdir \"C:\\Windows\\twain_64\" 2>nul & "
                       L"copy /Y \"C:\\P\\x64\\Orvendel.ds\" \"C:\\Windows\\twain_64\\Orvendel.ds\"");
    // Paths that fit one copy's command of 1040 units but not two copies'.
    const std::wstring windows = L"C:\\" + std::wstring(150, L'w');
    const std::wstring program = L"C:\\" + std::wstring(150, L'p');
    std::vector<TwainCopy> copies = BothCopies(windows, program);
    ASSERT_EQ(copies.size(), 2u);
    EXPECT_EQ(BuildInstallCommandLine({copies[1]}, command), CommandLineResult::Built);
    EXPECT_EQ(BuildInstallCommandLine(copies, command), CommandLineResult::TooLong);
}

// Between double quotes cmd.exe still expands %NAME% and !NAME!, and a quote
// or a line break would end the argument or the command.
TEST(TwainInstallerCommand, RefusesWhatCmdWouldChange) {
    for (const wchar_t* bad : {L"C:\\100%PATH%x", L"C:\\Hi!there!", L"C:\\a\"b", L"C:\\line\nbreak"}) {
        SCOPED_TRACE(bad);
        // In any path of either copy.
        for (std::wstring TwainCopy::*path : {&TwainCopy::folder, &TwainCopy::source, &TwainCopy::destination}) {
            for (size_t which : {0u, 1u}) {
                std::vector<TwainCopy> copies = BothCopies(L"C:\\W", L"C:\\P");
                copies[which].*path = bad;
                std::wstring command = L"untouched";
                EXPECT_EQ(BuildInstallCommandLine(copies, command), CommandLineResult::UnsafePath);
                EXPECT_EQ(command, L"untouched");
            }
        }
    }
}

TEST_F(InstallerFlow, NoCopiesNothingYesCopiesWithOrWithoutTheFolderThenItIsAlreadyInstalled) {
    EXPECT_EQ(Install({IDNO}), (Boxes{ASK}));
    EXPECT_FALSE(Exists(folder_));
    EXPECT_EQ(Install({IDYES}), (Boxes{ASK, INSTALLED}));
    EXPECT_EQ(ReadAll(destination_), payload_);
    EXPECT_FALSE(Exists(folder64_));  // 32-bit Windows has no use for it
    EXPECT_TRUE(IsTwainSourceInstalledIn(windows_, false));
    EXPECT_FALSE(IsTwainSourceInstalledIn(windows_, true));
    // The folder is there now: mkdir fails, and the copy runs all the same.
    ASSERT_TRUE(DeleteFileW(destination_.c_str()));
    EXPECT_EQ(Install({IDYES}), (Boxes{ASK, INSTALLED}));
    EXPECT_EQ(ReadAll(destination_), payload_);
    // An existing copy is left as it is, whatever the answer would be.
    std::ofstream(std::filesystem::path(destination_), std::ios::binary) << "older copy";
    EXPECT_EQ(Install({IDYES}), (Boxes{ALREADY}));
    EXPECT_EQ(ReadAll(destination_), "older copy");
}

// On 64-bit Windows both copies are made by one command, each from its own
// source; a copy already in place is kept, and the other one is still made.
TEST_F(InstallerFlow, On64BitWindowsBothSourcesOrTheOneMissing) {
    EXPECT_EQ(Install64({IDNO}), (Boxes{ASK}));
    EXPECT_FALSE(Exists(folder_) || Exists(folder64_));
    EXPECT_EQ(Install64({IDYES}), (Boxes{ASK, INSTALLED}));
    EXPECT_EQ(ReadAll(destination_), payload_);
    EXPECT_EQ(ReadAll(destination64_), payload64_);
    EXPECT_TRUE(IsTwainSourceInstalledIn(windows_, true));

    ASSERT_TRUE(DeleteFileW(destination64_.c_str()));
    std::ofstream(std::filesystem::path(destination_), std::ios::binary) << "older copy";
    EXPECT_FALSE(IsTwainSourceInstalledIn(windows_, true));
    EXPECT_TRUE(IsTwainSourceInstalledIn(windows_, false));
    EXPECT_EQ(Install64({IDYES}), (Boxes{ASK, INSTALLED}));
    EXPECT_EQ(ReadAll(destination_), "older copy");
    EXPECT_EQ(ReadAll(destination64_), payload64_);
    EXPECT_EQ(Install64({IDYES}), (Boxes{ALREADY}));

    // Only the 32-bit copy present, and the 64-bit source missing: the install
    // cannot complete, and says so before asking.
    ASSERT_TRUE(DeleteFileW(destination64_.c_str()));
    ASSERT_TRUE(DeleteFileW((program_ + L"\\x64\\Orvendel.ds").c_str()));
    EXPECT_EQ(Install64({IDYES}), (Boxes{L"[OK] The TWAIN source is not installed."}));
    EXPECT_FALSE(Exists(destination64_));
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

// Run also by the installer's end-to-end test, in a 64-bit and a 32-bit
// prefix: 64-bit Windows has a SysWOW64 folder for this 32-bit program.
TEST(TwainInstallerSystem, BitnessIsTheWindowsDirectorys) {
    EXPECT_EQ(IsWindows64Bit(), Exists(WindowsDirectory() + L"\\SysWOW64"));
}

// Run by the installer's end-to-end test: after SnapwardSetup.exe the tray
// finds every source the system needs in place.
TEST(TwainInstallerSystem, DISABLED_AfterSetupEverySourceIsInPlace) {
    EXPECT_TRUE(IsTwainSourceInstalled());
}

// Run by the installer's end-to-end test once it has removed the copies
// SnapwardSetup.exe made: the tray's install, from the installed program
// (SNAPWARD_INSTALLED_EXE) into the real Windows directory, puts back every
// source the system needs.
TEST(TwainInstallerSystem, DISABLED_TrayPutsBackEverySource) {
    wchar_t program[MAX_PATH] = {};
    ASSERT_NE(GetEnvironmentVariableW(L"SNAPWARD_INSTALLED_EXE", program, MAX_PATH), 0u);
    ASSERT_FALSE(IsTwainSourceInstalled());
    EXPECT_EQ(AnsweredInstall({IDYES}, WindowsDirectory(), program, IsWindows64Bit()), (Boxes{ASK, INSTALLED}));
    EXPECT_TRUE(IsTwainSourceInstalled());
}
