; The Windows setup program. scripts/package-windows.sh passes:
;   /DVERSION=1.0.0  /DSTAGE=<folder with korvath.exe, korvath-cli.exe, README.txt, examples\demo.shx>
;   /DICON=<korvath.ico>  /DOUTFILE=<setup program to write>
;   /DSIGN=<command that signs the file named after it>, when the programs are signed
; It installs for every user into Program Files\Korvath: a Start Menu shortcut to the window, .shx
; files opening in the window, App Paths entries, optionally the folder on the system PATH
; (/PATH=1 in silent mode), and an entry under Apps (the registry's Uninstall key). /S installs
; and uninstalls silently; a silent run that cannot replace or remove a program (one still
; running) ends with exit code 2 and leaves the files as they were.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include "MUI2.nsh"
!include "x64.nsh"
!include "FileFunc.nsh"
!include "WordFunc.nsh"
!include "LogicLib.nsh"
!include "Sections.nsh"
!include "WinMessages.nsh"

!define PRODUCT "Korvath"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Korvath"
!define APP_PATHS "Software\Microsoft\Windows\CurrentVersion\App Paths"
!define ENVIRONMENT_KEY "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"
!define FILE_CLASS "Korvath.Image"
!define WINDOW_CLASS "KorvathMainWindow"
!define SETTINGS_KEY "Software\Korvath"

!ifdef SIGN
  !finalize '${SIGN} "%1"' = 0
  !uninstfinalize '${SIGN} "%1"' = 0
!endif

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
BrandingText "${PRODUCT} ${VERSION}"
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} ${VERSION} setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Korvath maintainers"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_COMPONENTSPAGE_NODESC
!define MUI_FINISHPAGE_RUN "$INSTDIR\korvath.exe"
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\README.txt"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; A program of the folder that is running cannot be replaced or removed: Windows keeps an
; executable open for writing while it runs. $R0 becomes the first such program's name, or "".
!macro FindRunning UN
Function ${UN}FindRunning
  StrCpy $R0 ""
  ${ForEach} $R1 1 2 + 1
    ${If} $R1 == 1
      StrCpy $R2 "korvath.exe"
    ${Else}
      StrCpy $R2 "korvath-cli.exe"
    ${EndIf}
    ${If} ${FileExists} "$INSTDIR\$R2"
      ClearErrors
      FileOpen $R3 "$INSTDIR\$R2" a
      ${If} ${Errors}
        StrCpy $R0 $R2
        ${Break}
      ${EndIf}
      FileClose $R3
    ${EndIf}
  ${Next}
FunctionEnd

; Asks each Korvath window to close (a window with a download running stays), then waits for
; the programs to end: the user closes them and presses Retry, or gives up with Cancel. A
; silent run cannot ask: it ends with exit code 2 and changes nothing.
Function ${UN}CloseRunning
  ${ForEach} $R4 1 10 + 1
    FindWindow $R5 "${WINDOW_CLASS}"
    ${If} $R5 == 0
      ${Break}
    ${EndIf}
    SendMessage $R5 ${WM_CLOSE} 0 0 /TIMEOUT=2000
    Sleep 300
  ${Next}
  ${Do}
    Call ${UN}FindRunning
    ${If} $R0 == ""
      Return
    ${EndIf}
    ${If} ${Silent}
      SetErrorLevel 2
      Quit
    ${EndIf}
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION \
      "$R0 is running from $INSTDIR.$\r$\n$\r$\nClose every Korvath window and command line, then press Retry." \
      IDRETRY retry
    SetErrorLevel 2
    Quit
    retry:
  ${Loop}
FunctionEnd
!macroend
!insertmacro FindRunning ""
!insertmacro FindRunning "un."

Section "Korvath" SectionMain
  SectionIn RO
  Call CloseRunning
  SetOutPath "$INSTDIR"
  ; A file that cannot be written stops the setup instead of keeping the old one unnoticed.
  SetOverwrite on
  ClearErrors
  File "${STAGE}/korvath.exe"
  File "${STAGE}/korvath-cli.exe"
  File "${STAGE}/README.txt"
  SetOutPath "$INSTDIR\examples"
  File "${STAGE}/examples/demo.shx"
  SetOutPath "$INSTDIR"
  ${If} ${Errors}
    SetErrorLevel 2
    Abort "A file of $INSTDIR could not be written."
  ${EndIf}

  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\korvath.exe" "" "$INSTDIR\korvath.exe" 0

  ; .shx files open in the window, with its icon, for every user.
  WriteRegStr HKLM "Software\Classes\.shx" "" "${FILE_CLASS}"
  WriteRegStr HKLM "Software\Classes\.shx\OpenWithProgids" "${FILE_CLASS}" ""
  WriteRegStr HKLM "Software\Classes\${FILE_CLASS}" "" "S-record application image"
  WriteRegStr HKLM "Software\Classes\${FILE_CLASS}\DefaultIcon" "" '"$INSTDIR\korvath.exe",0'
  WriteRegStr HKLM "Software\Classes\${FILE_CLASS}\shell\open\command" "" '"$INSTDIR\korvath.exe" "%1"'
  ; SHCNE_ASSOCCHANGED: Explorer shows the new icon without a restart.
  System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0, p 0, p 0)'

  ; Win+R and "start" find both programs by name.
  WriteRegStr HKLM "${APP_PATHS}\korvath.exe" "" "$INSTDIR\korvath.exe"
  WriteRegStr HKLM "${APP_PATHS}\korvath.exe" "Path" "$INSTDIR"
  WriteRegStr HKLM "${APP_PATHS}\korvath-cli.exe" "" "$INSTDIR\korvath-cli.exe"
  WriteRegStr HKLM "${APP_PATHS}\korvath-cli.exe" "Path" "$INSTDIR"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Korvath maintainers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\korvath.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; The system PATH is read and written whole; one longer than this setup program can hold is
; left alone rather than cut.
Section /o "Add korvath-cli to the PATH" SectionPath
  ClearErrors
  ReadRegStr $0 HKLM "${ENVIRONMENT_KEY}" "Path"
  StrLen $1 $0
  ${If} ${Errors}
  ${OrIf} $1 >= ${NSIS_MAX_STRLEN}
    DetailPrint "The PATH was left as it is: add $INSTDIR to it by hand."
    Return
  ${EndIf}
  ${WordAdd} $0 ";" "+$INSTDIR" $2
  StrLen $1 $2
  ${If} $1 >= ${NSIS_MAX_STRLEN}
    DetailPrint "The PATH was left as it is: add $INSTDIR to it by hand."
    Return
  ${EndIf}
  WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "AddedToPath" 1
  SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=2000
SectionEnd

Var PathAsked

Function .onInit
  SetRegView 64
  SetShellVarContext all
  ; /PATH=1 puts the folder on the PATH in a silent install, as the option on the components
  ; page does.
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/PATH=" $PathAsked
  ${IfNot} ${Errors}
  ${AndIf} $PathAsked == "1"
    !insertmacro SelectSection ${SectionPath}
  ${EndIf}
FunctionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

; Only what the setup program wrote goes: a folder the user put other files into stays, with
; them. The entry under Apps goes only with the programs, so that a failed uninstall can run
; again.
Section "Uninstall"
  Call un.CloseRunning
  Delete "$INSTDIR\korvath.exe"
  Delete "$INSTDIR\korvath-cli.exe"
  ${If} ${FileExists} "$INSTDIR\korvath.exe"
  ${OrIf} ${FileExists} "$INSTDIR\korvath-cli.exe"
    SetErrorLevel 2
    Abort "A Korvath program in $INSTDIR could not be removed: close it and uninstall again."
  ${EndIf}
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\examples\demo.shx"
  RMDir "$INSTDIR\examples"

  ReadRegStr $0 HKLM "Software\Classes\.shx" ""
  ${If} $0 == "${FILE_CLASS}"
    DeleteRegValue HKLM "Software\Classes\.shx" ""
  ${EndIf}
  DeleteRegValue HKLM "Software\Classes\.shx\OpenWithProgids" "${FILE_CLASS}"
  DeleteRegKey /ifempty HKLM "Software\Classes\.shx\OpenWithProgids"
  DeleteRegKey /ifempty HKLM "Software\Classes\.shx"
  DeleteRegKey HKLM "Software\Classes\${FILE_CLASS}"
  System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0, p 0, p 0)'
  DeleteRegKey HKLM "${APP_PATHS}\korvath.exe"
  DeleteRegKey HKLM "${APP_PATHS}\korvath-cli.exe"

  ReadRegDWORD $0 HKLM "${UNINSTALL_KEY}" "AddedToPath"
  ${If} $0 == 1
    ClearErrors
    ReadRegStr $1 HKLM "${ENVIRONMENT_KEY}" "Path"
    StrLen $2 $1
    ${IfNot} ${Errors}
    ${AndIf} $2 < ${NSIS_MAX_STRLEN}
      ${un.WordAdd} $1 ";" "-$INSTDIR" $3
      WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" $3
      SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=2000
    ${EndIf}
  ${EndIf}

  ; The user's own settings stay unless the user says otherwise; a silent uninstall keeps them.
  ${IfNot} ${Silent}
    MessageBox MB_YESNO|MB_ICONQUESTION|MB_DEFBUTTON2 \
      "Remove your Korvath settings too (the last port, image and window position)?" \
      IDNO keepSettings
    DeleteRegKey HKCU "${SETTINGS_KEY}"
    keepSettings:
  ${EndIf}

  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
