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

!define MUI_FINISHPAGE_RUN "$INSTDIR\Snapward.exe"
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

Section "Snapward" SecMain
  SectionIn RO
  Call StopSnapward
  SetShellVarContext current
  SetOutPath "$INSTDIR"
  File "/oname=Snapward.exe" "${SNAPWARD_EXE}"
  File "/oname=Orvendel.ds" "${ORVENDEL_DS}"

  ; Scanning applications look for data sources here.
  CreateDirectory "$WINDIR\twain_32"
  CopyFiles /SILENT "$INSTDIR\Orvendel.ds" "$WINDIR\twain_32\Orvendel.ds"
  ${IfNot} ${FileExists} "$WINDIR\twain_32\Orvendel.ds"
    DetailPrint "Could not copy Orvendel.ds into $WINDIR\twain_32"
  ${EndIf}

  ; 64-bit applications load only 64-bit sources, from twain_64. This 32-bit
  ; installer sees System32 redirected, but twain_64 lies in $WINDIR itself,
  ; which no redirection touches. The copy beside the program lets the tray
  ; put it back.
  ${If} ${RunningX64}
    SetOutPath "$INSTDIR\x64"
    File "/oname=Orvendel.ds" "${ORVENDEL_DS64}"
    SetOutPath "$INSTDIR"
    CreateDirectory "$WINDIR\twain_64"
    CopyFiles /SILENT "$INSTDIR\x64\Orvendel.ds" "$WINDIR\twain_64\Orvendel.ds"
    ${IfNot} ${FileExists} "$WINDIR\twain_64\Orvendel.ds"
      DetailPrint "Could not copy the 64-bit Orvendel.ds into $WINDIR\twain_64"
    ${EndIf}
  ${EndIf}

  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\Snapward.exe"
  WriteRegStr HKCU "${RUN_KEY}" "${PRODUCT}" '"$INSTDIR\Snapward.exe"'

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
    Exec '"$INSTDIR\Snapward.exe"'
  ${EndIf}
SectionEnd

Section "Uninstall"
  Call un.StopSnapward
  SetShellVarContext current
  Delete "$INSTDIR\Snapward.exe"
  Delete "$INSTDIR\Orvendel.ds"
  Delete "$INSTDIR\x64\Orvendel.ds"
  RMDir "$INSTDIR\x64"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  ; The folders stay: other sources live there.
  Delete "$WINDIR\twain_32\Orvendel.ds"
  Delete "$WINDIR\twain_64\Orvendel.ds"
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  DeleteRegValue HKCU "${RUN_KEY}" "${PRODUCT}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ; The user's choices stay unless asked otherwise (never in a silent run).
  MessageBox MB_YESNO|MB_ICONQUESTION "Also remove your Snapward settings (chosen camera and capture key)?" /SD IDNO IDNO keep_settings
    DeleteRegKey HKCU "${SETTINGS_KEY}"
    DeleteRegKey /ifempty HKCU "Software\Quillmere"
  keep_settings:
SectionEnd
