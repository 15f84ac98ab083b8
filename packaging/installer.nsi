; The Vendrel 2 launcher's installer. makensis -DVERSION=x.y.z
; -DLAUNCHER=path\launcher.exe -DREADME=path\README.txt -DOUTFILE=setup.exe
; [-DSIGN=path/sign.sh]
Unicode true
SetCompressor /SOLID lzma
; The same input gives the same installer: no file times are stored.
SetDateSave off
RequestExecutionLevel admin
ManifestSupportedOS all
ManifestDPIAware true
!ifdef SIGN
  ; The uninstaller is signed as it is written, so that removing the
  ; launcher asks for rights in the publisher's name too.
  !uninstfinalize '"${SIGN}" "%1"' = 0
!endif

!include FileFunc.nsh
!include LogicLib.nsh
!include MUI2.nsh
!include Sections.nsh

!define PRODUCT "Vendrel 2 launcher"
!define PUBLISHER "Orvane"
!define SHORTCUT "MSN Messenger with Vendrel 2"
!define BUSY "${SHORTCUT} is running: nothing was changed."
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Vendrel2Launcher"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
; A 32-bit installer: on 64-bit Windows this is "Program Files (x86)". An
; upgrade stays in the earlier version's folder (see .onInit).
InstallDir "$PROGRAMFILES\Vendrel 2 Launcher"
Var Earlier
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "FileDescription" "${PRODUCT} setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "${PUBLISHER}"

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_COMPONENTS
!define MUI_PAGE_CUSTOMFUNCTION_PRE SkipDirectoryOnUpgrade
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; The launcher runs for hours, so an upgrade or an uninstall while it runs is
; ordinary. Its file can then be neither replaced nor removed: change nothing
; until it has ended, so that files and entry always stay of one version.
!macro LAUNCHER_IDLE UN
Function ${UN}LauncherIdle
  ${DoWhile} ${FileExists} "$INSTDIR\launcher.exe"
    ClearErrors
    ; A running program's file cannot be opened for writing.
    FileOpen $0 "$INSTDIR\launcher.exe" a
    ${IfNot} ${Errors}
      FileClose $0
      ${Break}
    ${EndIf}
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "${SHORTCUT} is running.$\r$\n$\r$\nQuit MSN Messenger, wait until Vendrel 2 has closed as well, then choose Retry." /SD IDCANCEL IDRETRY again
    Abort "${BUSY}"
    again:
  ${Loop}
FunctionEnd
!macroend
!insertmacro LAUNCHER_IDLE ""
!insertmacro LAUNCHER_IDLE "un."

Section "Launcher (required)" SecLauncher
  SectionIn RO
  Call LauncherIdle
  SetOutPath "$INSTDIR"
  ; Should the launcher have started since the check, nothing is changed yet.
  SetOverwrite try
  ClearErrors
  File "/oname=launcher.exe" "${LAUNCHER}"
  ${If} ${Errors}
    Abort "${BUSY}"
  ${EndIf}
  SetOverwrite on
  File "/oname=README.txt" "${README}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateDirectory "$SMPROGRAMS"
  CreateShortcut "$SMPROGRAMS\${SHORTCUT}.lnk" "$INSTDIR\launcher.exe" "" "$INSTDIR\launcher.exe" 0

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$\"$INSTDIR\launcher.exe$\",0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" "$\"$INSTDIR\uninstall.exe$\""
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" "$\"$INSTDIR\uninstall.exe$\" /S"
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ; In KB: the launcher, the guide and the uninstaller.
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section /o "Desktop shortcut" SecDesktop
  CreateShortcut "$DESKTOP\${SHORTCUT}.lnk" "$INSTDIR\launcher.exe" "" "$INSTDIR\launcher.exe" 0
SectionEnd

Section "-Upgrade" SecUpgrade
  ; An upgrade that drops the desktop shortcut removes the earlier one.
  ${IfNot} ${SectionIsSelected} ${SecDesktop}
    Delete "$DESKTOP\${SHORTCUT}.lnk"
  ${EndIf}
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecLauncher} "The launcher and a Start menu shortcut for all users."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecDesktop} "A shortcut on the desktop of every user."
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Function .onInit
  SetShellVarContext all
  SetRegView 32
  ; An upgrade stays in the earlier version's folder, whatever /D= says, so
  ; that no version's files are left behind without an entry.
  ReadRegStr $Earlier HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $Earlier != ""
    StrCpy $INSTDIR $Earlier
  ${EndIf}
  ; An upgrade keeps the desktop shortcut that an earlier version made.
  ${If} ${FileExists} "$DESKTOP\${SHORTCUT}.lnk"
    !insertmacro SelectSection ${SecDesktop}
  ${EndIf}
  ; The launcher reads these from the 32-bit view, as it is a 32-bit program.
  ClearErrors
  ReadRegStr $0 HKLM "SOFTWARE\Orvane\Vendrel2" "BinDir"
  ReadRegStr $1 HKLM "SOFTWARE\Microsoft\MSNMessenger" "InstallationDirectory"
  ${If} $0 == ""
  ${OrIf} $1 == ""
    IfSilent done
    MessageBox MB_OK|MB_ICONEXCLAMATION "Vendrel 2 or MSN Messenger is not installed on this computer.$\r$\n$\r$\nThe launcher will be installed, but until both are installed it will show $\"Error Loading Vendrel 2.$\" or $\"Error Loading MSN Messenger$\" when it starts."
  ${EndIf}
  done:
FunctionEnd

Function SkipDirectoryOnUpgrade
  ${If} $Earlier != ""
    Abort
  ${EndIf}
FunctionEnd

Function un.onInit
  SetShellVarContext all
  SetRegView 32
FunctionEnd

; Only what the installer added: Vendrel 2's and MSN Messenger's own files
; and registry values are never touched.
Section "Uninstall"
  Call un.LauncherIdle
  ; Should the launcher have started since the check, nothing is changed yet.
  ClearErrors
  Delete "$INSTDIR\launcher.exe"
  ${If} ${Errors}
    Abort "${BUSY}"
  ${EndIf}
  Delete "$SMPROGRAMS\${SHORTCUT}.lnk"
  Delete "$DESKTOP\${SHORTCUT}.lnk"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
