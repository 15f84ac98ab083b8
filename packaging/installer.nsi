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
!include WordFunc.nsh

!define PRODUCT "Vendrel 2 launcher"
!define PUBLISHER "Orvane"
!define SHORTCUT "MSN Messenger with Vendrel 2"
!define BUSY "${SHORTCUT} is running: nothing was changed."
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Vendrel2Launcher"
; Exit codes beside NSIS's own 0 (done) and 1 (cancelled), as the README
; lists them. Management tools act on them, so each means one thing.
!define EXIT_BUSY 2    ; the installed launcher is in use: nothing was changed
!define EXIT_NEWER 3   ; a newer version is installed: nothing was changed
!define EXIT_FAILED 4  ; the folder cannot be written, for the reason shown
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
; upgrade stays in the earlier version's folder (see .onInit).
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

; The launcher runs for hours, so an upgrade or an uninstall while it runs is
; ordinary. Its file can then be neither replaced nor removed: change nothing
; until it has ended, so that files and entry always stay of one version.
; Whatever else keeps us from writing there is no reason to wait: it is
; named, and nothing is changed.
!macro WRITE_CHECKS UN
; $R9: 0 if the file named on the stack, in $INSTDIR, can be written and
; removed (or made, where there is none), else the Windows error. Only a
; program that has the file open gives a sharing violation: for launcher.exe,
; the launcher itself.
Function ${UN}WriteError
  Pop $R5
  StrCpy $R8 3 ; OPEN_EXISTING
  StrCpy $R7 0
  ${IfNot} ${FileExists} "$INSTDIR\$R5"
    StrCpy $R8 1 ; CREATE_NEW, and gone again once closed
    StrCpy $R7 0x04000000
  ${EndIf}
  ; GENERIC_WRITE and DELETE, sharing all.
  System::Call 'kernel32::CreateFile(t "$INSTDIR\$R5", i 0x40010000, i 7, p 0, i R8, i R7, p 0) p .R6 ?e'
  Pop $R9
  ${If} $R6 P<> -1
    System::Call 'kernel32::CloseHandle(p R6)'
    StrCpy $R9 0
  ${EndIf}
FunctionEnd

; $R8: the text of the Windows error in $R9 (a write fault for none).
Function ${UN}Reason
  ${If} $R9 = 0
    StrCpy $R9 ${ERROR_WRITE_FAULT}
  ${EndIf}
  System::Call 'kernel32::FormatMessage(i 0x1200, p 0, i R9, i 0, t .R8, i ${NSIS_MAX_STRLEN}, p 0)'
  StrCpy $R7 $R8 2 -2
  ${If} $R7 == "$\r$\n"
    StrCpy $R8 $R8 -2
  ${EndIf}
FunctionEnd

; Names the folder and the reason in $R9, undoes a folder just made, and
; stops with EXIT_FAILED.
Function ${UN}Refuse
  Call ${UN}Reason
  ${If} $Made = 1
    RMDir "$INSTDIR"
  ${EndIf}
  MessageBox MB_OK|MB_ICONSTOP "$INSTDIR cannot be written: $R8 (error $R9)$\r$\n$\r$\nNothing was changed." /SD IDOK
  SetErrorLevel ${EXIT_FAILED}
  Abort "$INSTDIR cannot be written: $R8 (error $R9). Nothing was changed."
FunctionEnd

; Stops for the reason in $R9 that launcher.exe cannot be written: in use,
; with EXIT_BUSY; any other, with EXIT_FAILED.
Function ${UN}Stop
  ${If} $R9 = ${ERROR_SHARING_VIOLATION}
  ${OrIf} $R9 = ${ERROR_LOCK_VIOLATION}
    SetErrorLevel ${EXIT_BUSY}
    Abort "${BUSY}"
  ${EndIf}
  Call ${UN}Refuse
FunctionEnd

Function ${UN}LauncherIdle
  ${Do}
    Push launcher.exe
    Call ${UN}WriteError
    ${If} $R9 = 0
      ${Break}
    ${EndIf}
    ; Retry is offered only where quitting the launcher cures the cause.
    ${If} $R9 = ${ERROR_SHARING_VIOLATION}
    ${OrIf} $R9 = ${ERROR_LOCK_VIOLATION}
      MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "${SHORTCUT} is running.$\r$\n$\r$\nQuit MSN Messenger, wait until Vendrel 2 has closed as well, then choose Retry." /SD IDCANCEL IDRETRY again
    ${EndIf}
    Call ${UN}Stop
    again:
  ${Loop}
  ; Held open by another program (Word locks a text file it shows), the
  ; guide would stay behind: of the earlier version, or without an entry.
  Push README.txt
  Call ${UN}WriteError
  ${If} $R9 <> 0
    Call ${UN}Refuse
  ${EndIf}
FunctionEnd
!macroend
!insertmacro WRITE_CHECKS ""
!insertmacro WRITE_CHECKS "un."

; A fresh install makes its folder; whatever keeps it from doing so (no
; rights there, say) is named. Then the disk must have room for all three
; files, so that a full one stops us before the launcher is overwritten.
Function MakeFolder
  StrCpy $Made 0
  ${IfNot} ${FileExists} "$INSTDIR\*.*"
    System::Call 'shell32::SHCreateDirectoryEx(p 0, t "$INSTDIR", p 0) i .R9'
    ${If} $R9 <> 0
      Call Refuse
    ${EndIf}
    StrCpy $Made 1
  ${EndIf}
  ${GetRoot} "$INSTDIR" $R8
  ClearErrors
  ${DriveSpace} "$R8\" "/D=F /S=K" $R7
  ${IfNot} ${Errors}
  ${AndIf} $R7 L< ${NEEDED_KB}
    StrCpy $R9 ${ERROR_DISK_FULL}
    Call Refuse
  ${EndIf}
FunctionEnd

Section "Launcher (required)" SecLauncher
  SectionIn RO
  ; Until the end, a failure of any kind, NSIS's own too, ends with this
  ; code; the launcher in use sets its own.
  SetErrorLevel ${EXIT_FAILED}
  Call MakeFolder
  Call LauncherIdle
  ; An uninstaller that runs holds its file.
  Push uninstall.exe
  Call WriteError
  ${If} $R9 <> 0
    Call Refuse
  ${EndIf}
  SetOutPath "$INSTDIR"
  ; Should the launcher have started since the check, nothing is changed yet.
  SetOverwrite try
  ClearErrors
  File "/oname=launcher.exe" "${LAUNCHER}"
  ${If} ${Errors}
    Push launcher.exe
    Call WriteError
    Call Stop
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
  ; Run in place ("_?=", last and unquoted), the uninstaller waits for its
  ; work to be done and ends with its result (see un.onInit).
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" "$\"$INSTDIR\uninstall.exe$\" _?=$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" "$\"$INSTDIR\uninstall.exe$\" /S _?=$INSTDIR"
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
  SetErrorLevel 0
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecLauncher} "The launcher and a Start menu shortcut for all users."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecDesktop} "A shortcut on the desktop of every user."
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Function .onInit
  SetShellVarContext all
  SetRegView 32
  ; An upgrade stays in the earlier version's folder, whatever /D= says, so
  ; that no version's files are left behind without an entry. The folder
  ; counts while it exists, with or without its launcher, as it may still
  ; hold our guide and uninstaller; one that is gone or is not a folder (a
  ; drive removed, a letter reassigned) holds nothing: a fresh install.
  ReadRegStr $Earlier HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $Earlier != ""
  ${AndIf} ${FileExists} "$Earlier\*.*"
    StrCpy $INSTDIR $Earlier
    ; An older version would bring back what the newer one fixed: only on
    ; request, never silently. The same version again is a repair.
    ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "DisplayVersion"
    ${VersionCompare} $0 "${VERSION}" $1
    ${If} $1 = 1
      MessageBox MB_YESNO|MB_ICONEXCLAMATION|MB_DEFBUTTON2 "${PRODUCT} $0 is installed, which is newer than this installer's ${VERSION}.$\r$\n$\r$\nReplace it with the older version?" /SD IDNO IDYES older
      SetErrorLevel ${EXIT_NEWER}
      Quit
      older:
    ${EndIf}
  ${Else}
    StrCpy $Earlier ""
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

; Removes the uninstaller's own file and the folder once the uninstaller that
; runs from there has ended: within moments, as a tool may install again at
; once; for at most 30 s; and never once a new install has put its launcher
; there, as its uninstaller is then the new one. The folder is tried again
; until it goes: a program started from a shortcut, and all it starts, have
; it as their current folder, which Windows keeps until they end.
Function un.RemoveOriginal
  ${For} $R0 1 3000
    ${If} ${FileExists} "$INSTDIR\launcher.exe"
      Return
    ${EndIf}
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    ${IfNot} ${FileExists} "$INSTDIR\*.*"
      Return
    ${EndIf}
    Sleep 10
  ${Next}
FunctionEnd

; Stops, with EXIT_FAILED, for the reason in $R9 that the uninstaller cannot
; make its copy in the temporary folder. Nothing was changed.
Function un.NoCopy
  Call un.Reason
  MessageBox MB_OK|MB_ICONSTOP "The uninstaller cannot make a copy of itself in $TEMP: $R8 (error $R9)$\r$\n$\r$\nNothing was changed." /SD IDOK
  SetErrorLevel ${EXIT_FAILED}
  Quit
FunctionEnd

; Run in place, an uninstaller holds its own file until it ends, and NSIS's
; own way out (run without "_?=", it starts a copy and returns at once)
; tells the caller nothing. So the uninstaller, wherever it was started from
; and however the folder is spelled, hands over to a copy in the temporary
; folder, waits for it and ends with its exit code. Once the entry is gone,
; it starts the copy again to remove this file and the folder as soon as it
; has ended itself. Nothing waits for a reboot.
Function un.HandOver
  ; A folder that only SYSTEM and administrators may change, and never one
  ; that exists already: run as SYSTEM by a deployment tool, $TEMP is
  ; C:\Windows\Temp, where any user may make folders and links, through
  ; which they could swap the copy that we run or steer what we delete.
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptor(t "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", i 1, *p .R5, p 0) i .R6 ?e'
  Pop $R9
  ${If} $R6 = 0
    Call un.NoCopy
  ${EndIf}
  ; SECURITY_ATTRIBUTES, its pointer aligned as the platform does.
  !if ${NSIS_PTR_SIZE} > 4
    System::Call '*(i 24, i 0, p R5, i 0, i 0) p .R7'
  !else
    System::Call '*(i 12, p R5, i 0) p .R7'
  !endif
  ${For} $R4 1 20
    GetTempFileName $R1
    Delete $R1
    System::Call 'kernel32::CreateDirectory(t R1, p R7) i .R6 ?e'
    Pop $R9
    ${If} $R6 <> 0
      ${Break}
    ${EndIf}
  ${Next}
  System::Free $R7
  System::Call 'kernel32::LocalFree(p R5)'
  ${If} $R6 = 0
    Call un.NoCopy
  ${EndIf}
  System::Call 'kernel32::CopyFile(t "$EXEPATH", t "$R1\uninstall.exe", i 1) i .R6 ?e'
  Pop $R9
  ${If} $R6 = 0
    Delete "$R1\uninstall.exe"
    RMDir $R1
    Call un.NoCopy
  ${EndIf}
  StrCpy $R2 ""
  ${If} ${Silent}
    StrCpy $R2 "/S "
  ${EndIf}
  ClearErrors
  ExecWait '"$R1\uninstall.exe" $R2/HANDOVER _?=$INSTDIR' $R3
  ${If} ${Errors}
    Delete "$R1\uninstall.exe"
    RMDir $R1
    MessageBox MB_OK|MB_ICONSTOP "The uninstaller's copy in $R1 could not be started.$\r$\n$\r$\nNothing was changed." /SD IDOK
    SetErrorLevel ${EXIT_FAILED}
    Quit
  ${EndIf}
  ClearErrors
  ReadRegStr $R4 HKLM "${UNINSTALL_KEY}" "DisplayName"
  ${If} ${Errors}
    ; Returning only once the copy runs, so that the file and the folder go
    ; moments after the caller learns the result; if it does not, they
    ; stay without an entry, and the result says so.
    StrCpy $R5 ${EXIT_PARTIAL}
    ClearErrors
    Exec '"$R1\uninstall.exe" /S /TIDY _?=$INSTDIR'
    ${If} ${Errors}
      Delete "$R1\uninstall.exe"
      RMDir $R1
    ${Else}
      ${For} $R4 1 200
        ${If} ${FileExists} "$R1\ready"
          StrCpy $R5 0
          ${Break}
        ${EndIf}
        Sleep 50
      ${Next}
    ${EndIf}
    ${If} $R5 <> 0
    ${AndIf} $R3 = 0
      StrCpy $R3 $R5
    ${EndIf}
  ${Else}
    Delete "$R1\uninstall.exe"
    RMDir $R1
  ${EndIf}
  SetErrorLevel $R3
  Quit
FunctionEnd

Function un.onInit
  SetShellVarContext all
  SetRegView 32
  ; Not in the folder to be removed, where a tool may start us: Windows
  ; keeps a process's current folder, and the copies inherit ours.
  SetOutPath "$TEMP"
  ; NSIS's own hand-over passes the folder with a backslash at the end.
  StrCpy $R0 $INSTDIR 1 -1
  ${If} $R0 == "\"
    StrCpy $INSTDIR $INSTDIR -1
  ${EndIf}
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/TIDY" $R1
  ${IfNot} ${Errors}
    FileOpen $R1 "$EXEDIR\ready" w
    FileClose $R1
    Call un.RemoveOriginal
    Delete "$EXEDIR\ready"
    ; Then this copy and its folder, once this has ended: by cmd.exe, a file
    ; of Windows that nothing needs to remove; the file by name, and the
    ; folder only once empty, never recursively.
    ExecShell "" "$SYSDIR\cmd.exe" '/d /c for /l %i in (1,1,30) do (del /f /q "$EXEPATH" & rd "$EXEDIR" & if exist "$EXEDIR" ("$SYSDIR\ping.exe" -n 2 127.0.0.1 >nul) else exit)' SW_HIDE
    SetErrorLevel 0
    Quit
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/HANDOVER" $R1
  ${If} ${Errors}
    Call un.HandOver
  ${EndIf}
FunctionEnd

; Only what the installer added: Vendrel 2's and MSN Messenger's own files
; and registry values are never touched.
Section "Uninstall"
  SetErrorLevel ${EXIT_FAILED}
  Call un.LauncherIdle
  ; Should the launcher have started since the check, nothing is changed yet.
  ClearErrors
  Delete "$INSTDIR\launcher.exe"
  ${If} ${Errors}
    Push launcher.exe
    Call un.WriteError
    Call un.Stop
  ${EndIf}
  ; Past this point the entry goes whatever else fails: no half-removed
  ; install carries one. The guide was checked above, and only another
  ; program's hold on a shortcut could still stop us.
  Delete "$SMPROGRAMS\${SHORTCUT}.lnk"
  Delete "$DESKTOP\${SHORTCUT}.lnk"
  Delete "$INSTDIR\README.txt"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ClearErrors
  ReadRegStr $R0 HKLM "${UNINSTALL_KEY}" "DisplayName"
  ${If} ${Errors}
  ${AndIfNot} ${FileExists} "$INSTDIR\README.txt"
  ${AndIfNot} ${FileExists} "$SMPROGRAMS\${SHORTCUT}.lnk"
  ${AndIfNot} ${FileExists} "$DESKTOP\${SHORTCUT}.lnk"
    SetErrorLevel 0
  ${Else}
    MessageBox MB_OK|MB_ICONSTOP "The launcher was removed, but not all of the rest of ${PRODUCT}: see $INSTDIR, the Start menu, the desktop and the list of programs." /SD IDOK
    SetErrorLevel ${EXIT_PARTIAL}
    Abort "Not all of ${PRODUCT} could be removed."
  ${EndIf}
SectionEnd
