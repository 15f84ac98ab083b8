; The uninstaller's hand-over to a copy of itself in the temporary folder,
; and the removal of its own file and folder once it has ended; un.onInit
; in uninstall.nsh chooses which part runs.
;
; Removes the uninstaller's own file and the folder once the uninstaller that
; runs from there has ended: within moments, as a tool may install again at
; once; in 3,000 tries 10 ms apart, 30 s at the least (a Sleep can last
; until the next tick of the Windows timer, so it may be longer); and never
; once a new install has put its launcher there, as its uninstaller is then
; the new one. The folder is tried again until it goes: a program started
; from a shortcut, and all it starts, have it as their current folder, which
; Windows keeps until they end.
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
    ; moments after the caller learns the result; if it gives no sign in 200
    ; tries 50 ms apart (10 s at the least, as above), they stay without an
    ; entry, and the result says so.
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
