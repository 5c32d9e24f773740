; The setup program of Kestrelon (see the README's part on it): the programs and the guide in
; the program folder (Program Files, which only administrators can change: the daily task runs
; them in any user's session), the settings in a folder the shop's users can write, shortcuts
; and the optional daily task that start the programs there, an uninstaller. Silent mode:
;   Kestrelon-<version>-setup.exe /S [/COM=COMn /PORT=speed] [/ORA=HH:MM] [/SETARI=folder]
;                                    [/D=folder]
;
; Built by CMake (cmake/setup_program.cmake) with Debian's makensis:
;   makensis -INPUTCHARSET UTF8 -DVERSION=2.0.0.2 -DPROGRAMS=<folder of the built programs>
;            -DGUIDE=<the user guide> -DICON=<the programs' icon>
;            -DBITMAP=<the welcome and finish pages' picture, 164 x 314, drawn from the icon>
;            -DLANGUAGE_FILES=<folder of the Romanian language files with ș ț>
;            -DOUTFILE=<the setup program> [-DSIGN_COMMAND=<scripts/sign_file.sh>] Kestrelon.nsi

Unicode true
SetCompressor /SOLID /FINAL lzma
SetDateSave off ; no file times inside: the same inputs give the same bytes
RequestExecutionLevel admin
ManifestSupportedOS all
; No ManifestDPIAware: makensis writes it as an <application xmlns="urn:...:asm.v3"> element
; without a prefix, the form that Windows XP's loader refuses. Windows scales the wizard instead.
AllowSkipFiles off

!define PRODUCT "Kestrelon"
!define SETUP_NAME "${PRODUCT}-${VERSION}-setup.exe"
!define UNINSTALLER "Dezinstalare.exe"
!define SETTINGS_FILE "Kestrelon.ini"
!define DEFAULT_SETTINGS_FOLDER "C:\Kestrelon"
!define DEFAULT_DAILY_TIME "22:00"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define INSTANCE_MUTEX "Kestrelon-Vantrel-Ombrix" ; held by Kestrelon.exe and KestrelonScan.exe
!define SHORTCUT_FOLDER "$SMPROGRAMS\${PRODUCT}"
!define TASK_NAME "Kestrelon Raport Z"
!define TASK_FILE "Raport-Z-zilnic.xml" ; the task's definition, beside the programs
!define DESKTOP_SHORTCUT "$DESKTOP\Raport Z.lnk"

; Exit codes (the README lists them). NSIS itself ends with 1 when the user cancels.
!define EXIT_BAD_OPTION 2 ; or an option this Windows cannot honour; nothing installed
!define EXIT_NOT_ADMINISTRATOR 3 ; nothing installed
!define EXIT_TASK_FAILED 4 ; installed, without the daily task
!define EXIT_RUNNING 5 ; Kestrelon or KestrelonScan is running; nothing changed
!define EXIT_NOT_WRITTEN 6 ; a folder or file could not be written (before the programs: nothing
                          ; of them installed); run the setup again once the cause is gone
!define EXIT_RIGHTS_NOT_SET 7 ; a folder's rights could not be set: nothing of the programs installed
!define EXIT_FOLDER_REFUSED 8 ; a folder on a link, not the administrators', or holding others'
                             ; files: nothing installed

!include LogicLib.nsh
!include FileFunc.nsh
!include WordFunc.nsh
!include StrFunc.nsh
${StrStr}
!include WinVer.nsh
!include nsDialogs.nsh
!include MUI2.nsh

Name "${PRODUCT}"
OutFile "${OUTFILE}"

; A signed release (scripts/sign_release.sh defines SIGN_COMMAND): the uninstaller gets its
; signature before it is packed, the setup program its own last. The command either signs the
; file or attaches a signature made before to the same bytes.
!ifdef SIGN_COMMAND
  !uninstfinalize '"${SIGN_COMMAND}" "${UNINSTALLER}" "%1" "%1"' = 0
  !finalize '"${SIGN_COMMAND}" "${SETUP_NAME}" "%1" "%1"' = 0
!endif
InstallDir "$PROGRAMFILES\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" InstallLocation
BrandingText "${PRODUCT} ${VERSION}"

Var SettingsFolder ; where Kestrelon.ini lives and every program is started
Var DailyTime ; HH:MM of the daily task, or empty for none
Var PinnedPort ; /COM, as COMn, or empty
Var PinnedSpeed ; /PORT, or empty
Var SettingsFolderHandle ; the folders held open while the setup writes in them
Var ProgramFolderHandle

; Ends the setup (or the uninstaller) with CODE, after saying why unless it is silent.
!macro Refuse CODE MESSAGE
  MessageBox MB_OK|MB_ICONSTOP "${MESSAGE}" /SD IDOK
  SetErrorLevel ${CODE}
  Quit
!macroend

!include texts.nsh
!include text_checks.nsh
!include folder_rights.nsh
!include folder_paths.nsh
!include pinned_settings.nsh
!include options.nsh
!include daily_task.nsh

; Kestrelon.exe and KestrelonScan.exe share a named mutex while they run. A copy started by
; another user of this session (the setup runs elevated) denies us even a look at it: that
; counts as running too.
!define ERROR_ACCESS_DENIED 5
!define SYNCHRONIZE 0x00100000
!macro DefineRefuseWhileKestrelonRuns PREFIX
  Function ${PREFIX}RefuseWhileKestrelonRuns
    Push $0
    Push $1
    System::Call 'kernel32::OpenMutexW(i ${SYNCHRONIZE}, i 0, w "${INSTANCE_MUTEX}") p .r0 ?e'
    Pop $1 ; the last error
    ${If} $0 P<> 0
      System::Call 'kernel32::CloseHandle(p r0)'
    ${EndIf}
    ${If} $0 P<> 0
    ${OrIf} $1 = ${ERROR_ACCESS_DENIED}
      !insertmacro Refuse ${EXIT_RUNNING} "${TEXT_RUNNING}"
    ${EndIf}
    Pop $1
    Pop $0
  FunctionEnd
!macroend
!insertmacro DefineRefuseWhileKestrelonRuns ""
!insertmacro DefineRefuseWhileKestrelonRuns "un."

; -- the wizard --
!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_WELCOMEFINISHPAGE_BITMAP "${BITMAP}" ; the uninstaller has no such page
!define MUI_ABORTWARNING
!define MUI_WELCOMEPAGE_TEXT "${TEXT_WELCOME}"
!define MUI_FINISHPAGE_TEXT "${TEXT_FINISH}" ; the finish page's, which reads it when it is made
!define MUI_FINISHPAGE_TEXT_LARGE ; room for it above a checkbox
!insertmacro MUI_PAGE_WELCOME
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE ProgramFolderPageLeave
!insertmacro MUI_PAGE_DIRECTORY
Page custom SettingsFolderPage SettingsFolderPageLeave
Page custom DailyReportPage DailyReportPageLeave
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "${TEXT_RUN_SCAN}"
!define MUI_FINISHPAGE_RUN_NOTCHECKED
!define MUI_FINISHPAGE_RUN_FUNCTION StartKestrelonScan
!define MUI_PAGE_CUSTOMFUNCTION_SHOW MakeRoomForTheRunText
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGEEX "${LANGUAGE_FILES}" Romanian
!include wizard_pages.nsh ; after the pages: it changes a control of the finish page

!pragma warning disable 9100 ; no LegalCopyright: the programs' version carries none either
VIProductVersion "${VERSION}"
VIFileVersion "${VERSION}"
VIAddVersionKey /LANG=${LANG_ROMANIAN} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_ROMANIAN} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ROMANIAN} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ROMANIAN} "FileDescription" "${TEXT_SETUP_DESCRIPTION}"
VIAddVersionKey /LANG=${LANG_ROMANIAN} "OriginalFilename" "${SETUP_NAME}"

; Options first (a bad one installs nothing, whoever runs it), then the rights, then the
; programs' own state. An earlier install gives the defaults: its settings folder and time.
Function .onInit
  SetShellVarContext all
  ReadRegStr $SettingsFolder HKLM "${UNINSTALL_KEY}" FolderSetari
  ${IfThen} $SettingsFolder == "" ${|} StrCpy $SettingsFolder "${DEFAULT_SETTINGS_FOLDER}" ${|}
  ${If} ${AtLeastWinVista} ; Windows XP never gets a task
    ReadRegStr $DailyTime HKLM "${UNINSTALL_KEY}" OraRaportZ
  ${EndIf}
  Call ReadOptions
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    !insertmacro Refuse ${EXIT_NOT_ADMINISTRATOR} "${TEXT_NOT_ADMINISTRATOR}"
  ${EndIf}
  Call RefuseWhileKestrelonRuns
FunctionEnd

; Takes a folder for the install (TakeFolder), once its path (PATH_FAULT, as it reads now) is
; right; refuses when it cannot, with the reason TakeFolder leaves in $R0 and its exit code.
!macro CheckAndTakeFolder PATH_FAULT FOLDER FILES SECURITY HANDLE
  Call ${PATH_FAULT}
  Pop $R0
  StrCpy ${HANDLE} 0
  ${If} $R0 == ""
    Push `${FOLDER}`
    Push `${FILES}`
    Push `${SECURITY}`
    Call TakeFolder
    Pop ${HANDLE}
  ${Else}
    SetErrorLevel ${EXIT_FOLDER_REFUSED}
  ${EndIf}
  ${If} ${HANDLE} = 0
    MessageBox MB_OK|MB_ICONSTOP "$R0" /SD IDOK
    Quit
  ${EndIf}
!macroend

Section "Kestrelon"
  Call RefuseWhileKestrelonRuns ; again: the wizard may have been open a while

  ; Both folders first, checked again now and held until the end: when either cannot be
  ; taken, nothing is installed.
  !insertmacro CheckAndTakeFolder SettingsFolderPathFault $SettingsFolder "${SETTINGS_FOLDER_FILES}" \
      "${SETTINGS_FOLDER_SECURITY}" $SettingsFolderHandle
  !insertmacro CheckAndTakeFolder ProgramFolderPathFault $INSTDIR "${PROGRAM_FOLDER_FILES}" \
      "${PROGRAM_FOLDER_SECURITY}" $ProgramFolderHandle
  ${If} $PinnedPort != ""
    Call WritePinnedSettings
    Pop $R0
    ${If} $R0 != ""
      System::Call 'kernel32::CloseHandle(p $ProgramFolderHandle)'
      RMDir "$INSTDIR" ; when this setup has just made it, empty
      !insertmacro Refuse ${EXIT_NOT_WRITTEN} "$R0"
    ${EndIf}
  ${EndIf}

  ; Files of an earlier install go first, so that the new ones take the folder's rights
  ; (an older folder outside Program Files gave its files to every user to change).
  !insertmacro ForEachName "${PROGRAM_FOLDER_FILES}" RemoveProgramFile

  ; The programs and the guide: the release zip's files, as built.
  SetOutPath "$INSTDIR"
  File "${PROGRAMS}\Kestrelon.exe"
  File "${PROGRAMS}\KestrelonScan.exe"
  File "${GUIDE}"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"

  ; Every shortcut starts in the settings folder (a shortcut's working folder is the output
  ; folder at the time it is made).
  SetOutPath "$SettingsFolder"
  CreateShortCut "${DESKTOP_SHORTCUT}" "$INSTDIR\Kestrelon.exe"
  CreateDirectory "${SHORTCUT_FOLDER}"
  CreateShortCut "${SHORTCUT_FOLDER}\Raport Z.lnk" "$INSTDIR\Kestrelon.exe"
  CreateShortCut "${SHORTCUT_FOLDER}\KestrelonScan.lnk" "$INSTDIR\KestrelonScan.exe"
  CreateShortCut "${SHORTCUT_FOLDER}\Ghid de utilizare.lnk" "$INSTDIR\Ghid-utilizare.txt"
  CreateShortCut "${SHORTCUT_FOLDER}\Dezinstalare.lnk" "$INSTDIR\${UNINSTALLER}"

  ; Add/Remove Programs, with what a later setup and the uninstaller need to know.
  WriteRegStr HKLM "${UNINSTALL_KEY}" DisplayName "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" DisplayVersion "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" Publisher "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" DisplayIcon "$INSTDIR\Kestrelon.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" InstallLocation "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" UninstallString '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" QuietUninstallString '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" NoModify 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" NoRepair 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" EstimatedSize $0
  WriteRegStr HKLM "${UNINSTALL_KEY}" FolderSetari "$SettingsFolder"
  ${If} $DailyTime != ""
    WriteRegStr HKLM "${UNINSTALL_KEY}" OraRaportZ "$DailyTime"
  ${Else}
    DeleteRegValue HKLM "${UNINSTALL_KEY}" OraRaportZ
  ${EndIf}

  Call UpdateDailyTask
  System::Call 'kernel32::CloseHandle(p $ProgramFolderHandle)'
  System::Call 'kernel32::CloseHandle(p $SettingsFolderHandle)'
SectionEnd

Function RemoveProgramFile
  Exch $0
  Delete "$INSTDIR\$0"
  Pop $0
FunctionEnd

; Checks the program folder chosen on the page.
Function .onVerifyInstDir
  Push $0
  ${IsWholeFolderPath} $0 $INSTDIR
  ${If} $0 != 1
    Pop $0
    Abort ; the page's Next stays disabled
  ${EndIf}
  Pop $0
FunctionEnd

; A file that could not be written (in use by a program, a full disk): NSIS stops the install
; there, after a Retry/Cancel box in the wizard.
Function .onInstFailed
  SetErrorLevel ${EXIT_NOT_WRITTEN}
FunctionEnd

; -- the uninstaller: everything but the settings folder, which keeps Kestrelon.ini and its
; .bak (the device's port; a later install finds them again) --
Function un.onInit
  SetShellVarContext all
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    !insertmacro Refuse ${EXIT_NOT_ADMINISTRATOR} "${TEXT_UNINSTALL_NOT_ADMINISTRATOR}"
  ${EndIf}
  Call un.RefuseWhileKestrelonRuns
FunctionEnd

Var NotRemoved ; the files that could not be removed, one a line

!macro RemoveOrTell FILE
  Delete "${FILE}"
  ${IfThen} ${FileExists} "${FILE}" ${|} StrCpy $NotRemoved "$NotRemoved${FILE}$\r$\n" ${|}
!macroend

Section "Uninstall"
  StrCpy $NotRemoved ""
  Call un.RemoveDailyTask
  !insertmacro RemoveOrTell "${DESKTOP_SHORTCUT}"
  !insertmacro RemoveOrTell "${SHORTCUT_FOLDER}\Raport Z.lnk"
  !insertmacro RemoveOrTell "${SHORTCUT_FOLDER}\KestrelonScan.lnk"
  !insertmacro RemoveOrTell "${SHORTCUT_FOLDER}\Ghid de utilizare.lnk"
  !insertmacro RemoveOrTell "${SHORTCUT_FOLDER}\Dezinstalare.lnk"
  RMDir "${SHORTCUT_FOLDER}"
  !insertmacro RemoveOrTell "$INSTDIR\Kestrelon.exe"
  !insertmacro RemoveOrTell "$INSTDIR\KestrelonScan.exe"
  !insertmacro RemoveOrTell "$INSTDIR\Ghid-utilizare.txt"
  !insertmacro RemoveOrTell "$INSTDIR\${TASK_FILE}"
  !insertmacro RemoveOrTell "$INSTDIR\${UNINSTALLER}"
  RMDir "$INSTDIR" ; only when empty: nothing of anyone else's is removed
  ${If} $NotRemoved != ""
    ; The entry stays, so that the uninstall can be run again once the cause is gone.
    MessageBox MB_OK|MB_ICONSTOP "${TEXT_NOT_REMOVED}" /SD IDOK
    Abort
  ${EndIf}
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd

Function un.onUninstFailed
  SetErrorLevel ${EXIT_NOT_WRITTEN}
FunctionEnd
