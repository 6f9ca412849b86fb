; SnapwardSetup.exe: installs the tray program and its TWAIN data sources, the
; 32-bit one always and the 64-bit one on 64-bit Windows.
; Built by CMake with makensis; the build passes these defines:
;   VERSION        dotted version, e.g. 1.0.0
;   SNAPWARD_EXE   path of Snapward.exe
;   ORVENDEL_DS    path of the 32-bit Orvendel.ds
;   ORVENDEL_DS64  path of the 64-bit Orvendel.ds
;   OUTFILE        path of the installer to write
;   ICON          (optional) the program's .ico

Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "WinMessages.nsh"
!include "x64.nsh"

!define PRODUCT "Snapward"
!define PUBLISHER "Quillmere"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Snapward"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define SETTINGS_KEY "Software\Quillmere\Orvendel"
; The tray window is message-only, so it is found under HWND_MESSAGE.
!define TRAY_CLASS "OrvendelTray"
!define HWND_MESSAGE -3
; The tray menu's Exit command: the program removes its icon and ends itself.
!define ID_TRAY_EXIT 2003
!define SOURCE_FILE "Orvendel.ds"
!define TRAY_LINK "Snapward in the tray.lnk"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES32\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} installer"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}.0"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright ${PUBLISHER}"
!ifdef ICON
  !define MUI_ICON "${ICON}"
  !define MUI_UNICON "${ICON}"
!endif

Var WasRunning
; Set when a data source waits for the next restart to be replaced.
Var ReplaceAtRestart

; Started through StartAsUser, never as the installer's own child.
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_FUNCTION StartAsUser
!define MUI_FINISHPAGE_RUN_TEXT "Start Snapward now"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Asks a running Snapward to exit through its own tray command, and waits up to
; ten seconds for its window to go. It is single-instance, so there is at most
; one; killing it by name could hit an unrelated process.
!macro StopSnapward un
Function ${un}StopSnapward
  StrCpy $WasRunning 0
  System::Call 'user32::FindWindowExW(p ${HWND_MESSAGE}, p 0, w "${TRAY_CLASS}", p 0) p .r0'
  ${If} $0 P<> 0
    StrCpy $WasRunning 1
    System::Call 'user32::PostMessageW(p r0, i ${WM_COMMAND}, p ${ID_TRAY_EXIT}, p 0)'
    StrCpy $1 0
    ${Do}
      Sleep 200
      System::Call 'user32::FindWindowExW(p ${HWND_MESSAGE}, p 0, w "${TRAY_CLASS}", p 0) p .r0'
      ${If} $0 P= 0
        ; The window is gone; give the process a moment to release its files.
        Sleep 500
        ${Break}
      ${EndIf}
      IntOp $1 $1 + 1
      ${If} $1 >= 50
        MessageBox MB_OK|MB_ICONEXCLAMATION "Snapward is still running. Please exit it from its tray icon and try again." /SD IDOK
        Abort
      ${EndIf}
    ${Loop}
  ${EndIf}
FunctionEnd
!macroend
!insertmacro StopSnapward ""
!insertmacro StopSnapward "un."

; A child of this elevated installer would inherit its token: the wrong
; profile when an administrator's password was typed for a standard user, a
; single-instance lock that later normal starts cannot take over, and a tray
; icon that Explorer's TaskbarCreated cannot reach. explorer.exe hands the file
; to the running shell, which starts it at the user's own rights.
Function StartAsUser
  Exec '"$WINDIR\explorer.exe" "$INSTDIR\Snapward.exe"'
FunctionEnd

; The same for a program an upgrade stopped: it comes back in the tray, not
; with the dialog and the camera (and its light) nobody asked for. explorer.exe
; passes no arguments on, but a shortcut carries them.
Function StartInTrayAsUser
  CreateShortcut "$INSTDIR\${TRAY_LINK}" "$INSTDIR\Snapward.exe" "/tray"
  Exec '"$WINDIR\explorer.exe" "$INSTDIR\${TRAY_LINK}"'
FunctionEnd

; Puts the new data source $R0 into folder $R1 as Orvendel.ds. A host that
; ever opened the old one keeps it loaded until it exits (the source pins
; itself, and scanning services run for days): it can be neither overwritten
; nor deleted, but a loaded DLL can be renamed, so it is moved aside under a
; name no source manager loads, and the new one takes its place now. A file
; held open without delete sharing cannot even be renamed; then the new one
; waits beside it under a temporary name and replaces it at the next restart.
; Either way the old file never stays in place unreported.
Function PlaceSource
  StrCpy $R2 "$R1\${SOURCE_FILE}"
  CreateDirectory "$R1"
  Delete "$R2"
  ${If} ${FileExists} "$R2"
    GetTempFileName $R3 "$R1"
    Delete "$R3"
    ClearErrors
    Rename "$R2" "$R3"
    ${IfNot} ${Errors}
      DetailPrint "The old $R2 is still in use; programs using it keep it until they exit."
      ; Leftovers are cleared at the next restart, which they alone do not
      ; call for.
      ${If} ${RebootFlag}
        Delete /REBOOTOK "$R3"
      ${Else}
        Delete /REBOOTOK "$R3"
        SetRebootFlag false
      ${EndIf}
    ${EndIf}
  ${EndIf}

  ; With the old file gone, the name existing afterwards proves the copy.
  ${IfNot} ${FileExists} "$R2"
    ClearErrors
    CopyFiles /SILENT "$R0" "$R2"
    ${IfNot} ${Errors}
    ${AndIf} ${FileExists} "$R2"
      Return
    ${EndIf}
  ${EndIf}

  GetTempFileName $R3 "$R1"
  ClearErrors
  CopyFiles /SILENT "$R0" "$R3"
  ${IfNot} ${Errors}
    Rename /REBOOTOK "$R3" "$R2"
  ${EndIf}
  ${If} ${Errors}
    Delete "$R3"
    DetailPrint "Could not put ${SOURCE_FILE} into $R1"
    MessageBox MB_OK|MB_ICONEXCLAMATION "${SOURCE_FILE} could not be put into $R1. Scanning programs will not find the current Snapward source there." /SD IDOK
    SetErrorLevel 2
  ${Else}
    DetailPrint "$R2 is in use; the new one replaces it when Windows restarts."
    StrCpy $ReplaceAtRestart 1
  ${EndIf}
FunctionEnd

; A silent install that needs a restart says so in its exit code, as Windows
; Installer does (ERROR_SUCCESS_REBOOT_REQUIRED).
Function .onInstSuccess
  ${If} $ReplaceAtRestart = 1
    SetErrorLevel 3010
  ${EndIf}
FunctionEnd

Section "Snapward" SecMain
  SectionIn RO
  Call StopSnapward
  SetShellVarContext current
  SetOutPath "$INSTDIR"
  File "/oname=Snapward.exe" "${SNAPWARD_EXE}"
  File "/oname=Orvendel.ds" "${ORVENDEL_DS}"

  ; Scanning applications look for data sources here.
  StrCpy $ReplaceAtRestart 0
  StrCpy $R0 "$INSTDIR\Orvendel.ds"
  StrCpy $R1 "$WINDIR\twain_32"
  Call PlaceSource

  ; 64-bit applications load only 64-bit sources, from twain_64. This 32-bit
  ; installer sees System32 redirected, but twain_64 lies in $WINDIR itself,
  ; which no redirection touches. The copy beside the program lets the tray
  ; put it back.
  ${If} ${RunningX64}
    SetOutPath "$INSTDIR\x64"
    File "/oname=Orvendel.ds" "${ORVENDEL_DS64}"
    SetOutPath "$INSTDIR"
    StrCpy $R0 "$INSTDIR\x64\Orvendel.ds"
    StrCpy $R1 "$WINDIR\twain_64"
    Call PlaceSource
  ${EndIf}
  ${If} $ReplaceAtRestart = 1
    SetRebootFlag true
    MessageBox MB_OK|MB_ICONINFORMATION "A program still uses the old Snapward scanning source. Restart Windows to finish the update; until then scanning programs may keep using the old one." /SD IDOK
  ${EndIf}

  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\Snapward.exe"
  ; In the tray only: the dialog would start the camera (and its light) at every logon.
  WriteRegStr HKCU "${RUN_KEY}" "${PRODUCT}" '"$INSTDIR\Snapward.exe" /tray'

  WriteUninstaller "$INSTDIR\Uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" '"$INSTDIR\Snapward.exe",0'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

  ; An upgrade during a silent install brings back the program it stopped.
  ${If} ${Silent}
  ${AndIf} $WasRunning = 1
    Call StartInTrayAsUser
  ${EndIf}
SectionEnd

Function un.onUninstSuccess
  ${If} ${RebootFlag}
    SetErrorLevel 3010
  ${EndIf}
FunctionEnd

Section "Uninstall"
  Call un.StopSnapward
  SetShellVarContext current
  Delete "$INSTDIR\Snapward.exe"
  Delete "$INSTDIR\Orvendel.ds"
  Delete "$INSTDIR\x64\Orvendel.ds"
  RMDir "$INSTDIR\x64"
  Delete "$INSTDIR\${TRAY_LINK}"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  ; The folders stay: other sources live there.
  ; A source a host still holds goes at the next restart.
  Delete /REBOOTOK "$WINDIR\twain_32\Orvendel.ds"
  Delete /REBOOTOK "$WINDIR\twain_64\Orvendel.ds"
  ${If} ${RebootFlag}
    DetailPrint "${SOURCE_FILE} is still in use; it is removed when Windows restarts."
    MessageBox MB_OK|MB_ICONINFORMATION "A program still uses the Snapward scanning source. Restart Windows to finish removing it." /SD IDOK
  ${EndIf}
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  DeleteRegValue HKCU "${RUN_KEY}" "${PRODUCT}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ; The user's choices stay unless asked otherwise (never in a silent run).
  MessageBox MB_YESNO|MB_ICONQUESTION "Also remove your Snapward settings (chosen camera and capture key)?" /SD IDNO IDNO keep_settings
    DeleteRegKey HKCU "${SETTINGS_KEY}"
    DeleteRegKey /ifempty HKCU "Software\Quillmere"
  keep_settings:
SectionEnd
