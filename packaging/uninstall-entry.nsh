; The entry in the list of programs, written by the launcher's section in
; install-sections.nsh once its files are in place.
;
; In KB: the launcher, the guide and the uninstaller. Measured first, as
; GetSize clears the error flag that tells whether a value was not written.
${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
IntFmt $0 "0x%08X" $0
ClearErrors
WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$\"$INSTDIR\launcher.exe$\",0"
WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
; Run in place ("_?=", last and unquoted), the uninstaller waits for its
; work to be done and ends with its result (see un.onInit in uninstall.nsh).
WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" "$\"$INSTDIR\uninstall.exe$\" _?=$INSTDIR"
WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" "$\"$INSTDIR\uninstall.exe$\" /S _?=$INSTDIR"
WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
!insertmacro UnfinishedIfErrors "HKLM\${UNINSTALL_KEY}"
