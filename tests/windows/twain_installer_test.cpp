#include "app/twain_installer.h"

#include "capture_test_support.h"

using namespace capture_test;

namespace {

using Boxes = std::vector<std::wstring>;
std::vector<int> boxAnswers;  // pressed in turn, OK once they run out
Boxes boxesSeen;              // "[Yes/No] " or "[OK] " and each box's first line

BOOL CALLBACK LongestText(HWND child, LPARAM longest) {
    wchar_t text[1024] = {};
    GetWindowTextW(child, text, 1024);
    auto* best = reinterpret_cast<std::wstring*>(longest);
    if (wcslen(text) > best->size()) *best = text;
    return TRUE;
}

// Runs from a thread timer inside the box's own modal loop.
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

Boxes AnsweredInstall(std::vector<int> answers, const std::wstring& windows, const std::wstring& module, bool w64) {
    boxAnswers = std::move(answers);
    boxesSeen.clear();
    const UINT_PTR timer = SetTimer(nullptr, 0, 20, AnswerBox);
    InstallTwainSourceFrom(nullptr, windows, module, w64);
    KillTimer(nullptr, timer);
    return boxesSeen;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
std::string ReadAll(const std::wstring& path) {
    const std::vector<uint8_t> bytes = ReadWholeFile(path);
    return {bytes.begin(), bytes.end()};
}

constexpr wchar_t ASK[] = L"[Yes/No] Install Snapward as a TWAIN source?";
constexpr wchar_t INSTALLED[] = L"[OK] TWAIN source installed successfully!";
constexpr wchar_t ALREADY[] = L"[OK] Snapward is already installed as a TWAIN source.";
constexpr wchar_t MISSING[] = L"[OK] The TWAIN source is not installed.";
constexpr wchar_t TOO_LONG[] = L"[OK] The TWAIN source cannot be installed from here: a folder path is too long.";
constexpr wchar_t UNSAFE[] = L"[OK] The TWAIN source cannot be installed from here: a folder path contains a "
                             L"character that the command processor would change (% ! or \").";

// The path a builder must give, or "" where it must refuse: joined with one
// backslash, and refused rather than cut at 260 units with the terminator.
std::wstring Joined(const std::wstring& folder, const std::wstring& name) {
    const std::wstring joined = folder + (folder.ends_with(L'\\') ? L"" : L"\\") + name;
    return folder.size() < TWAIN_PATH_UNITS && joined.size() < TWAIN_PATH_UNITS ? joined : L"";
}

}  // namespace

TEST(TwainInstallerPaths, AgreeWithAPlainJoinAndAreRefusedRatherThanCut) {
    for (size_t length = 1; length < 262; length += length < 225 ? 56 : 1) {
        for (const TwainFlavour& flavour : {TWAIN_32, TWAIN_64}) {
            for (const std::wstring& windows : {L"C:\\" + std::wstring(length, L'w'), std::wstring(L"D:\\")}) {
                SCOPED_TRACE(testing::Message() << windows.size());
                std::wstring folder = L"before", destination = L"before";
                const std::wstring wantFolder = Joined(windows, flavour.folderName);
                ASSERT_EQ(BuildTwainFolder(windows, flavour.folderName, folder), !wantFolder.empty());
                if (wantFolder.empty()) continue;
                EXPECT_EQ(folder, wantFolder);
                const std::wstring want = Joined(folder, TWAIN_SOURCE_FILE_NAME);
                EXPECT_EQ(BuildTwainDestination(folder, destination), !want.empty());
                EXPECT_EQ(destination, want.empty() ? L"before" : want);
            }
            // The executable's name is replaced, however long it was.
            const std::wstring deep = L"C:\\" + std::wstring(length, L'd'), longName(length, L'n');
            for (const auto& [folder, name] : {std::pair{deep, std::wstring(L"S.exe")}, std::pair{std::wstring(L"C:\\P"), longName}}) {
                std::wstring source;
                const std::wstring module = folder + L"\\" + name;
                const std::wstring want = module.size() < TWAIN_PATH_UNITS ? Joined(folder, flavour.besideProgram) : L"";
                EXPECT_EQ(BuildTwainSourcePath(module, flavour.besideProgram, source), !want.empty()) << module.size();
                EXPECT_EQ(source, want);
            }
        }
    }
    std::wstring source;
    EXPECT_FALSE(BuildTwainSourcePath(L"Snapward.exe", TWAIN_32.besideProgram, source));  // no folder at all
    EXPECT_FALSE(BuildTwainFolder(L"", TWAIN_32.folderName, source));
}

// The copies of a 64-bit system, sources filled in as the install does.
std::vector<TwainCopy> BothCopies(const std::wstring& windows, const std::wstring& program) {
    std::vector<TwainCopy> copies;
    EXPECT_TRUE(BuildTwainCopies(windows, true, copies));
    for (TwainCopy& copy : copies) EXPECT_TRUE(BuildTwainSourcePath(program + L"\\S.exe", copy.flavour.besideProgram, copy.source));
    return copies;
}

// The elevated command processor is the system folder's, named in full, and runs without the registry's AutoRun
// commands (/d) that anything at the user's rights could have planted; a folder that is no drive path gives none.
TEST(TwainInstallerCommand, RunsTheSystemCommandProcessorWithoutAutoRun) {
    std::wstring path = L"untouched", command;
    EXPECT_TRUE(BuildCommandProcessorPath(L"C:\\Windows\\system32", path));
    EXPECT_EQ(path, L"C:\\Windows\\system32\\cmd.exe");
    EXPECT_TRUE(BuildCommandProcessorPath(L"D:\\", path));
    EXPECT_EQ(path, L"D:\\cmd.exe");
    for (const std::wstring& wrong : {std::wstring(), std::wstring(L"system32"), std::wstring(L"\\\\server\\share"),
                                      std::wstring(L"C:relative"), L"C:\\" + std::wstring(260, L'x')}) {
        path = L"untouched";
        EXPECT_FALSE(BuildCommandProcessorPath(wrong, path));
        EXPECT_EQ(path, L"untouched");
    }
    ASSERT_EQ(BuildInstallCommandLine(BothCopies(L"C:\\W", L"C:\\P"), command), CommandLineResult::Built);
    EXPECT_EQ(command.rfind(L"/d /c mkdir \"C:\\W\\twain_32\" 2>nul & copy /Y ", 0), 0u) << std::string(command.begin(), command.end());
}

TEST(TwainInstallerCommand, RefusedWhenTooLongOrChangedByCmd) {
    std::wstring command;
    // The command is run for real by the flows below. Paths that fit one
    // copy's command of 1040 units but not two copies':
    std::vector<TwainCopy> copies = BothCopies(L"C:\\" + std::wstring(150, L'w'), L"C:\\" + std::wstring(150, L'p'));
    ASSERT_EQ(copies.size(), 2u);
    EXPECT_EQ(BuildInstallCommandLine({copies[1]}, command), CommandLineResult::Built);
    EXPECT_EQ(BuildInstallCommandLine(copies, command), CommandLineResult::TooLong);
    // Between double quotes cmd.exe still expands %NAME% and !NAME!, and a
    // quote or a control character would end the argument or the command.
    for (wchar_t c = 1; c < 0x100; ++c) {
        const bool changed = c == L'%' || c == L'!' || c == L'"' || c < L' ';
        for (std::wstring TwainCopy::*path : {&TwainCopy::folder, &TwainCopy::source, &TwainCopy::destination}) {
            for (size_t which : {0u, 1u}) {
                copies = BothCopies(L"C:\\W", L"C:\\P");
                copies[which].*path += c;
                command = L"untouched";
                EXPECT_EQ(BuildInstallCommandLine(copies, command) == CommandLineResult::UnsafePath, changed) << int{c};
                EXPECT_EQ(command == L"untouched", changed);
            }
        }
    }
}

// Bits of a flow's copies: 1 is twain_32's, 2 is twain_64's.
struct FlowCase {
    const char* what;
    bool windows64;
    int sources;  // beside the program
    int copies;   // already in place before, another version's
    int answer;
    Boxes boxes;
    int made;  // copies of the program's own sources afterwards
    bool folder32 = false;  // twain_32 there before, empty
    const wchar_t* programFolder = L"Tools & Toys (x86) ^1";  // & ^ ( ) are plain between quotes
    std::wstring windows = L"windows";  // under the scratch folder, unless absolute
};

TEST(TwainInstallerFlow, AsksCopiesWhatIsMissingAndTellsTheOutcome) {
    const FlowCase cases[] = {
        {"32-bit, no", false, 1, 0, IDNO, {ASK}, 0},
        {"32-bit, yes", false, 1, 0, IDYES, {ASK, INSTALLED}, 1},
        {"32-bit, yes, mkdir fails and the copy runs", false, 1, 0, IDYES, {ASK, INSTALLED}, 1, true},
        {"64-bit, yes, each from its own source", true, 3, 0, IDYES, {ASK, INSTALLED}, 3},
        {"64-bit, the missing one only", true, 3, 1, IDYES, {ASK, INSTALLED}, 2},
        {"64-bit, both in place", true, 3, 3, IDYES, {ALREADY}, 0},
        {"64-bit, its source missing", true, 1, 1, IDYES, {MISSING}, 0},
        {"a folder cmd.exe would expand", false, 1, 0, IDYES, {UNSAFE}, 0, false, L"100%PATH%x"},
        {"Windows directory too long", false, 1, 0, IDYES, {TOO_LONG}, 0, false, L"P", L"C:\\" + std::wstring(250, L'w')},
    };
    const std::string payloads[] = {std::string("MZ stand-in for the data source\0\x01\xff", 36),
                                    std::string("MZ stand-in for the 64-bit source\0\x02", 36)};
    for (const FlowCase& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchFolder root(L"snapward-twain-installer");
        const std::wstring program = root.path() + L"\\" + c.programFolder;
        const bool scratchWindows = c.windows.find(L':') != 1;
        const std::wstring windows = scratchWindows ? root.path() + L"\\" + c.windows : c.windows;
        const std::wstring folders[] = {windows + L"\\twain_32", windows + L"\\twain_64"};
        const std::wstring sources[] = {program + L"\\Orvendel.ds", program + L"\\x64\\Orvendel.ds"};
        if (scratchWindows) CreateDirectoryW(windows.c_str(), nullptr);
        CreateDirectoryW(program.c_str(), nullptr);
        CreateDirectoryW((program + L"\\x64").c_str(), nullptr);
        if (c.folder32) CreateDirectoryW(folders[0].c_str(), nullptr);
        for (int i = 0; i < 2; ++i) {
            if (c.sources & (1 << i)) std::ofstream(std::filesystem::path(sources[i]), std::ios::binary) << payloads[i];
            if (c.copies & (1 << i)) {
                CreateDirectoryW(folders[i].c_str(), nullptr);
                std::ofstream(std::filesystem::path(folders[i] + L"\\Orvendel.ds"), std::ios::binary) << "older copy";
            }
        }

        EXPECT_EQ(AnsweredInstall({c.answer}, windows, program + L"\\Snapward.exe", c.windows64), c.boxes);
        for (int i = 0; i < 2; ++i) {
            SCOPED_TRACE(i);
            const std::wstring copy = folders[i] + L"\\Orvendel.ds";
            if (c.copies & (1 << i)) EXPECT_EQ(ReadAll(copy), "older copy");
            else if (c.made & (1 << i)) EXPECT_EQ(ReadAll(copy), payloads[i]);
            else EXPECT_FALSE(Exists(copy));
            EXPECT_EQ(Exists(folders[i]), ((c.copies | c.made) & (1 << i)) || (i == 0 && c.folder32));
        }
        const int needed = c.windows64 ? 3 : 1;
        EXPECT_EQ(IsTwainSourceInstalledIn(windows, c.windows64), ((c.copies | c.made) & needed) == needed);
    }
}

// Run also by the installer's end-to-end test, in a 64-bit prefix: 64-bit
// Windows has a SysWOW64 folder for this 32-bit program.
TEST(TwainInstallerSystem, BitnessIsTheWindowsDirectorys) {
    wchar_t windows[MAX_PATH] = {};
    GetSystemWindowsDirectoryW(windows, MAX_PATH);
    EXPECT_EQ(IsWindows64Bit(), Exists(windows + std::wstring(L"\\SysWOW64")));
}

// Run by the installer's end-to-end test: after SnapwardSetup.exe the tray
// finds every source the system needs in place.
TEST(TwainInstallerSystem, DISABLED_AfterSetupEverySourceIsInPlace) {
    EXPECT_TRUE(IsTwainSourceInstalled());
}
