; The installer's work: its folder, the sections and their descriptions.
;
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

; Stops with EXIT_FAILED once the install has begun: what is named on the
; stack was not written, and NSIS tells no reason. NSIS only sets its error
; flag for this and goes on, and an install without its uninstaller, a
; shortcut or its entry is not done.
Function Unfinished
  Pop $R5
  MessageBox MB_OK|MB_ICONSTOP "$R5 cannot be written.$\r$\n$\r$\n${PRODUCT} is installed only in part." /SD IDOK
  SetErrorLevel ${EXIT_FAILED}
  Abort "$R5 cannot be written. ${PRODUCT} is installed only in part."
FunctionEnd
; After a step whose error flag was cleared before it.
!macro UnfinishedIfErrors WHAT
  ${If} ${Errors}
    Push "${WHAT}"
    Call Unfinished
  ${EndIf}
!macroend

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
  ClearErrors
  WriteUninstaller "$INSTDIR\uninstall.exe"
  !insertmacro UnfinishedIfErrors "$INSTDIR\uninstall.exe"
  CreateDirectory "$SMPROGRAMS"
  ; A Start menu folder that cannot be made fails the shortcut too.
  ClearErrors
  CreateShortcut "$SMPROGRAMS\${SHORTCUT}.lnk" "$INSTDIR\launcher.exe" "" "$INSTDIR\launcher.exe" 0
  !insertmacro UnfinishedIfErrors "$SMPROGRAMS\${SHORTCUT}.lnk"

  !include "${__FILEDIR__}/uninstall-entry.nsh"
SectionEnd

Section /o "Desktop shortcut" SecDesktop
  ClearErrors
  CreateShortcut "$DESKTOP\${SHORTCUT}.lnk" "$INSTDIR\launcher.exe" "" "$INSTDIR\launcher.exe" 0
  !insertmacro UnfinishedIfErrors "$DESKTOP\${SHORTCUT}.lnk"
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
