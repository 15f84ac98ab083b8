; The checks that come before any change, for the installer and, as
; un.-functions, the uninstaller: can the install folder's files be written,
; and is the launcher running.
;
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
