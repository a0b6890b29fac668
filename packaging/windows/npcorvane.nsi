; The per-user Windows installer: the host, its signing library and the two host manifests in
; %LOCALAPPDATA%\npcorvane, the browsers' keys under HKCU, an uninstaller and an Apps entry. No
; administrator rights. makensis gets the build's files and choices as defines:
;   HOST_NAME VERSION HOST_EXE LIBRARY DOCTOR CHROMIUM_MANIFEST FIREFOX_MANIFEST BROWSERS EXTENSION_DIR OUTPUT
; BROWSERS is the include CMake generates from the table of browsers, with the keys to write.
; EXTENSION_DIR is the built reference extension, installed beside the host for side-loading.
Unicode true
; The 64-bit stub: the host and library are 64-bit, and the x86 stub would need a 32-bit Windows
; layer (under Wine without one it installs nothing and still exits 0).
Target amd64-unicode
RequestExecutionLevel user
SetCompressor /SOLID lzma

Name "npcorvane ${VERSION}"
OutFile "${OUTPUT}"
InstallDir "$LOCALAPPDATA\npcorvane"
ShowInstDetails show
ShowUninstDetails show

!define APPS_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\npcorvane"
!define CHROMIUM_FILE "${HOST_NAME}.json"
!define FIREFOX_FILE "${HOST_NAME}.firefox.json"

!include "${BROWSERS}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "npcorvane"
  SetOutPath "$INSTDIR"
  File "/oname=npcorvane-host.exe" "${HOST_EXE}"
  File "/oname=npcorvane.dll" "${LIBRARY}"
  File "/oname=npcorvane-doctor.exe" "${DOCTOR}"
  File "/oname=${CHROMIUM_FILE}" "${CHROMIUM_MANIFEST}"
  File "/oname=${FIREFOX_FILE}" "${FIREFOX_MANIFEST}"
  SetOutPath "$INSTDIR\extension"
  File /r "${EXTENSION_DIR}/chromium"
  File /r "${EXTENSION_DIR}/firefox"
  File "${EXTENSION_DIR}/npcorvane-chromium.zip"
  File "${EXTENSION_DIR}/npcorvane-firefox.xpi"
  DetailPrint "The browser extension, for side-loading, is in $INSTDIR\extension"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; Each browser finds the host through a key named after it whose default value is the manifest.
  !insertmacro NPC_WRITE_KEYS

  WriteRegStr HKCU "${APPS_KEY}" "DisplayName" "npcorvane native-messaging host"
  WriteRegStr HKCU "${APPS_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${APPS_KEY}" "Publisher" "npcorvane developers"
  WriteRegStr HKCU "${APPS_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${APPS_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${APPS_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${APPS_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${APPS_KEY}" "NoRepair" 1
SectionEnd

; A browser key goes only while it still names this installation's manifest: another copy of
; the host may have registered itself since.
!macro UNREGISTER KEY FILE
  ReadRegStr $0 HKCU "${KEY}" ""
  StrCmp $0 "$INSTDIR\${FILE}" 0 +2
    DeleteRegKey HKCU "${KEY}"
!macroend

Section "Uninstall"
  !insertmacro NPC_REMOVE_KEYS
  DeleteRegKey HKCU "${APPS_KEY}"
  ; Only what the installer put there: anything the user added keeps the folder.
  Delete "$INSTDIR\npcorvane-host.exe"
  Delete "$INSTDIR\npcorvane.dll"
  Delete "$INSTDIR\npcorvane-doctor.exe"
  Delete "$INSTDIR\${CHROMIUM_FILE}"
  Delete "$INSTDIR\${FIREFOX_FILE}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir /r "$INSTDIR\extension\chromium"
  RMDir /r "$INSTDIR\extension\firefox"
  Delete "$INSTDIR\extension\npcorvane-chromium.zip"
  Delete "$INSTDIR\extension\npcorvane-firefox.xpi"
  RMDir "$INSTDIR\extension"
  RMDir "$INSTDIR"
SectionEnd
