; The Vendrel 2 launcher's installer. makensis -DVERSION=x.y.z
; -DLAUNCHER=path\launcher.exe -DREADME=path\README.txt -DOUTFILE=setup.exe
; [-DSIGN=path/sign.sh]
Unicode true
SetCompressor /SOLID lzma
; The same input gives the same installer: no file times are stored.
SetDateSave off
; A file that cannot be written offers Retry and Cancel, never Ignore: an
; install that skips one is not done, yet would end with 0.
AllowSkipFiles off
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
!include WordFunc.nsh

!define PRODUCT "Vendrel 2 launcher"
!define PUBLISHER "Orvane"
!define SHORTCUT "MSN Messenger with Vendrel 2"
!define BUSY "${SHORTCUT} is running: nothing was changed."
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Vendrel2Launcher"
; Exit codes, as the README lists them. NSIS's own are 0 (done), 1
; (cancelled by the user) and 2 (aborted by the script), as appendix D.1 of
; its manual lists them; the script sets the code before each of its stops,
; and 2 only for a launcher in use. Management tools act on them, so each
; means one thing.
!define EXIT_BUSY 2    ; the installed launcher is in use: nothing was changed
!define EXIT_NEWER 3   ; a newer version is installed: nothing was changed
!define EXIT_FAILED 4  ; it cannot go ahead, for the reason shown: nothing was
                       ; changed; or the install failed once it had begun, and
                       ; may be part done
!define EXIT_PARTIAL 5 ; the launcher was removed, not all of the rest
; Free space an install needs, in KB: its three files with room to spare.
!define NEEDED_KB 1024
!define ERROR_SHARING_VIOLATION 32
!define ERROR_LOCK_VIOLATION 33
!define ERROR_WRITE_FAULT 29
!define ERROR_DISK_FULL 112

Name "${PRODUCT}"
OutFile "${OUTFILE}"
; A 32-bit installer: on 64-bit Windows this is "Program Files (x86)". An
; upgrade stays in the earlier version's folder (see .onInit in
; install-init.nsh).
InstallDir "$PROGRAMFILES\Vendrel 2 Launcher"
Var Earlier
Var Made       ; 1 once this install has made its folder
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

; The parts, in this order: NSIS lays out functions and sections in the
; order it reads them.
!include "${__FILEDIR__}/write-checks.nsh"
!include "${__FILEDIR__}/install-sections.nsh"
!include "${__FILEDIR__}/install-init.nsh"
!include "${__FILEDIR__}/uninstall-handover.nsh"
!include "${__FILEDIR__}/uninstall.nsh"
