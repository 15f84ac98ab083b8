; What the installer finds before its pages: an earlier install, its folder
; and its version, the desktop shortcut it made, and whether Vendrel 2 and
; MSN Messenger are installed; and the folder page, skipped on an upgrade.
;
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
