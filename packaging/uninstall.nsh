; The uninstaller: how it starts (see uninstall-handover.nsh) and what it
; removes.
;
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
