; The setup program of Kestrelon (see the README's part on it): the programs, the guide and the
; owner's page in the program folder (Program Files, which only administrators can change: the
; daily task runs them in any user's session), the settings in a folder the shop's users can
; write, shortcuts and the optional daily task that start the programs there, an uninstaller.
; Silent mode:
;   Kestrelon-<version>-setup.exe /S [/COM=COMn /PORT=speed | /COM=AUTO] [/ORA=HH:MM]
;                                    [/SETARI=folder] [/D=folder]
;
; Built by CMake (cmake/setup_program.cmake) with Debian's makensis:
;   makensis -INPUTCHARSET UTF8 -DVERSION=2.0.0.2 -DPROGRAMS=<folder of the built programs>
;            -DICON=<the programs' icon>
;            -DBITMAP=<the welcome and finish pages' picture, 164 x 314, drawn from the icon>
;            -DLANGUAGE_FILES=<folder of the Romanian language files with ș ț>
;            -DPLUGINS=<folder of the plug-in KestrelonSetup.dll>
;            -DPROGRAM_FOLDER_FILES=<program_files.nsh, the program folder's files, from CMake>
;            -DOUTFILE=<the setup program> [-DSIGN_COMMAND=<scripts/sign_file.sh>] Kestrelon.nsi

Unicode true
SetCompressor /SOLID /FINAL lzma
SetDateSave off ; no file times inside: the same inputs give the same bytes
RequestExecutionLevel admin
ManifestSupportedOS all
; No ManifestDPIAware: makensis writes it as an <application xmlns="urn:...:asm.v3"> element
; without a prefix, the form that Windows XP's loader refuses. Windows scales the wizard instead.
AllowSkipFiles off
AllowRootDirInstall true ; NSIS takes a drive's root as /D= gives it: the setup's check says why
                         ; it is refused

!define PRODUCT "Kestrelon"
!define SETUP_NAME "${PRODUCT}-${VERSION}-setup.exe"
!define SETTINGS_FILE "Kestrelon.ini"
!define DEFAULT_DAILY_TIME "22:00"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define SHORTCUT_FOLDER "$SMPROGRAMS\${PRODUCT}"
!define TASK_NAME "Kestrelon Raport Z"
!define DESKTOP_SHORTCUT "$DESKTOP\Raport Z.lnk"
!include "${PROGRAM_FOLDER_FILES}" ; UNINSTALLER, TASK_FILE and the programs and documents

; Exit codes (the README lists them). NSIS itself ends with 1 when the user cancels.
!define EXIT_BAD_OPTION 2 ; or an option this Windows cannot honour; nothing installed. The
                         ; uninstaller: not the installed one (nothing removed)
!define EXIT_NOT_ADMINISTRATOR 3 ; nothing installed
!define EXIT_TASK_FAILED 4 ; installed, without the daily task
!define EXIT_RUNNING 5 ; Kestrelon or KestrelonScan is running; nothing changed
!define EXIT_NOT_WRITTEN 6 ; a folder or file could not be written (before the programs: nothing
                          ; of them installed); run the setup again once the cause is gone
!define EXIT_RIGHTS_NOT_SET 7 ; a folder's rights could not be set: nothing of the programs installed
!define EXIT_FOLDER_REFUSED 8 ; a folder on a link, not the administrators', or holding others'
                             ; files: nothing installed
!define EXIT_NO_DEVICE 9 ; /COM=AUTO found no device that identifies as "VF": installed, no port
                        ; pinned
!define EXIT_ANOTHER_SETUP 10 ; another setup or uninstaller of Kestrelon runs: nothing changed

!include LogicLib.nsh
!include FileFunc.nsh
!include WordFunc.nsh
!include WinVer.nsh
!include nsDialogs.nsh
!include MUI2.nsh

; The setup's folder and file work: KestrelonSetup.dll, built with the programs (setup/).
!addplugindir /x86-unicode "${PLUGINS}"

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
Var PinnedPort ; the port to pin, as COMn: /COM's, or the device found; or empty
Var PinnedSpeed ; its speed: /PORT's, or the device found's; or empty
Var NotWritten ; what the install could not write, for its box
Var EarlierProgramFolder ; the program folder of the install Add/Remove Programs knows, if any
Var Summary ; what is (or was) installed, a line each: the summary page's and the finish page's
Var TaskNotMade ; "1" when the daily task could not be registered, "kept" when the earlier one
                ; could not be removed

; Ends the setup (or the uninstaller) with CODE, after saying why unless it is silent.
!macro Refuse CODE MESSAGE
  MessageBox MB_OK|MB_ICONSTOP "${MESSAGE}" /SD IDOK
  SetErrorLevel ${CODE}
  Quit
!macroend

!include texts.nsh
!include plugins_folder.nsh
!include folders.nsh
!include pinned_settings.nsh
!include fiscal_device.nsh
!include options.nsh
!include daily_task.nsh

; Kestrelon.exe or KestrelonScan.exe running from the program folder (or the earlier install's),
; in any session: their files cannot be replaced or removed meanwhile. Decided from the running
; processes, which only an administrator can start from that folder, not from a name that
; anyone can create.
!macro DefineRefuseWhileKestrelonRuns PREFIX
  Function ${PREFIX}RefuseWhileKestrelonRuns
    Push $0
    KestrelonSetup::ProgramRuns $INSTDIR
    Pop $0
    ${If} $0 != 1
    ${AndIf} $EarlierProgramFolder != ""
      KestrelonSetup::ProgramRuns $EarlierProgramFolder
      Pop $0
    ${EndIf}
    ${If} $0 = 1
      !insertmacro Refuse ${EXIT_RUNNING} "${TEXT_RUNNING}"
    ${EndIf}
    Pop $0
  FunctionEnd
!macroend
!insertmacro DefineRefuseWhileKestrelonRuns ""
!insertmacro DefineRefuseWhileKestrelonRuns "un."

; One setup or uninstaller at a time on the computer, whoever started it, in any session.
!macro RefuseBesideAnotherSetup
  KestrelonSetup::OnlySetup
  Pop $0
  ${If} $0 != ""
    !insertmacro Refuse ${EXIT_ANOTHER_SETUP} "${TEXT_ANOTHER_SETUP}"
  ${EndIf}
!macroend

; -- the wizard --
!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_WELCOMEFINISHPAGE_BITMAP "${BITMAP}" ; the uninstaller has no such page
!define MUI_ABORTWARNING
!define MUI_WELCOMEPAGE_TEXT "${TEXT_WELCOME}"
!define MUI_FINISHPAGE_TEXT "${TEXT_FINISH}" ; the finish page's, which reads it when it is made
!define MUI_FINISHPAGE_TEXT_LARGE ; a text of several paragraphs
!insertmacro MUI_PAGE_WELCOME
; The program folder's page is the setup's own: NSIS's would only grey "Înainte >" for a folder
; it cannot use, where this one says why, and its space line says nothing of use for a program
; of under a megabyte.
Page custom ProgramFolderPage ProgramFolderPageLeave
Page custom SettingsFolderPage SettingsFolderPageLeave
Page custom FiscalDevicePage FiscalDevicePageLeave
Page custom DailyReportPage DailyReportPageLeave
Page custom SummaryPage
!insertmacro MUI_PAGE_INSTFILES
; No "start KestrelonScan now": it would run as the administrator, in the folder the users
; write in. The guide and the Start menu start it as the shop's user.
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGEEX "${LANGUAGE_FILES}" Romanian
!include wizard_pages.nsh

!pragma warning disable 9100 ; no LegalCopyright: the programs' version carries none either
VIProductVersion "${VERSION}"
VIFileVersion "${VERSION}"
VIAddVersionKey /LANG=${LANG_ROMANIAN} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_ROMANIAN} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ROMANIAN} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ROMANIAN} "FileDescription" "${TEXT_SETUP_DESCRIPTION}"
VIAddVersionKey /LANG=${LANG_ROMANIAN} "OriginalFilename" "${SETUP_NAME}"

; The plug-ins' folder before any plug-in is called (only an administrator can make it: without
; one, nothing else is looked at), then the options (a bad one installs nothing), then the rights,
; then the programs' own state. An earlier install gives the defaults: its settings folder and
; time.
Function .onInit
  !insertmacro PluginsFolderOnlyAdministratorsWrite "${TEXT_NOT_ADMINISTRATOR}"
  SetShellVarContext all
  !insertmacro SilentWhenAsked ; before anything could show a box
  ReadRegStr $EarlierProgramFolder HKLM "${UNINSTALL_KEY}" InstallLocation
  ReadRegStr $SettingsFolder HKLM "${UNINSTALL_KEY}" FolderSetari
  ${If} $SettingsFolder == ""
    KestrelonSetup::Option default_settings
    Pop $SettingsFolder
  ${Else}
    StrCpy $SettingsChosen 1
  ${EndIf}
  ${If} ${AtLeastWinVista} ; Windows XP never gets a task
    ReadRegStr $DailyTime HKLM "${UNINSTALL_KEY}" OraRaportZ
  ${EndIf}
  Call ReadOptions
  KestrelonSetup::FullPath $INSTDIR ; as the earlier install's was recorded: no "\" at the end
  Pop $INSTDIR
  KestrelonSetup::FullPath $ProgramFolderTyped ; as its page shows it
  Pop $ProgramFolderTyped
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    !insertmacro Refuse ${EXIT_NOT_ADMINISTRATOR} "${TEXT_NOT_ADMINISTRATOR}"
  ${EndIf}
  !insertmacro RefuseBesideAnotherSetup
  Call RefuseWhileKestrelonRuns
FunctionEnd

; When a step after the folders fails: says what could not be written (WHAT, a clause with its
; own verb, in $NotWritten), and ends with EXIT_NOT_WRITTEN, the programs' files as far as they
; got.
!macro RefuseWhenErrors WHAT
  ${If} ${Errors}
    StrCpy $NotWritten "${WHAT}"
    !insertmacro Refuse ${EXIT_NOT_WRITTEN} "${TEXT_NOT_COMPLETED}"
  ${EndIf}
!macroend

Section "Kestrelon"
  Call RefuseWhileKestrelonRuns ; again: the wizard may have been open a while

  ; Both folders first, checked again now and held until the end: when either cannot be
  ; taken, or the settings cannot be pinned, nothing is installed and nothing changed. The port
  ; pinned is the one /COM names, the one the page "Aparatul fiscal" chose, or, with /COM=AUTO
  ; and no wizard, the one found now.
  Call TakeFolders
  ${If} ${Silent}
  ${AndIf} $SearchDevice == 1
    Call FindDeviceSilently
  ${EndIf}
  ${If} $PinnedPort != ""
    Call PinSettings
  ${EndIf}

  ; Files of an earlier install go first, so that the new ones take the folder's rights. Each was
  ; marked for removal when the folders were taken, so that one held open by somebody stopped the
  ; install before the pin; they go now, once the pin is done.
  KestrelonSetup::RemoveEarlierFiles
  Pop $0
  ${If} $0 != ""
    KestrelonSetup::Named
    Pop $NotWritten
    !insertmacro Refuse ${EXIT_NOT_WRITTEN} "${TEXT_OLD_FILE_NOT_REMOVED}"
  ${EndIf}

  ; The programs and the documents: the release zip's files, as built.
  SetOutPath "$INSTDIR"
  !insertmacro InstallReleaseFiles
  ClearErrors
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  !insertmacro RefuseWhenErrors "${TEXT_UNINSTALLER_NOT_WRITTEN}"

  ; A shortcut's working folder is $OUTDIR when it is made. The programs start in the settings
  ; folder, where Kestrelon.ini is; the documents and the uninstaller, which runs as administrator,
  ; in the program folder, which only administrators change. $OUTDIR is only named for them,
  ; never set with SetOutPath: that would make the users' folder the setup's current folder,
  ; which Windows XP (and 7 without its DLL search update) searches for DLLs.
  ClearErrors
  SetOutPath "$INSTDIR"
  CreateDirectory "${SHORTCUT_FOLDER}"
  CreateShortCut "${SHORTCUT_FOLDER}\Ghid de utilizare.lnk" "$INSTDIR\Ghid-utilizare.txt"
  CreateShortCut "${SHORTCUT_FOLDER}\Instrucțiuni pe scurt.lnk" "$INSTDIR\Instructiuni-pe-scurt.txt"
  CreateShortCut "${SHORTCUT_FOLDER}\Dezinstalare.lnk" "$INSTDIR\${UNINSTALLER}"
  StrCpy $OUTDIR "$SettingsFolder"
  CreateShortCut "${DESKTOP_SHORTCUT}" "$INSTDIR\Kestrelon.exe"
  CreateShortCut "${SHORTCUT_FOLDER}\Raport Z.lnk" "$INSTDIR\Kestrelon.exe"
  CreateShortCut "${SHORTCUT_FOLDER}\KestrelonScan.lnk" "$INSTDIR\KestrelonScan.exe"
  StrCpy $OUTDIR "$INSTDIR"
  !insertmacro RefuseWhenErrors "${TEXT_SHORTCUTS_NOT_WRITTEN}"

  ; Add/Remove Programs, with what a later setup and the uninstaller need to know.
  ClearErrors
  WriteRegStr HKLM "${UNINSTALL_KEY}" DisplayName "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" DisplayVersion "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" Publisher "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" DisplayIcon "$INSTDIR\Kestrelon.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" InstallLocation "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" UninstallString '"$INSTDIR\${UNINSTALLER}"'
  ; Silent (a fleet's tool, as SYSTEM): in place, never from a copy in $TEMP (next to NSIS's own
  ; copy of the uninstaller, every user may put files there); it waits and gives its exit code.
  WriteRegStr HKLM "${UNINSTALL_KEY}" QuietUninstallString '"$INSTDIR\${UNINSTALLER}" /S _?=$INSTDIR'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" NoModify 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" NoRepair 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" EstimatedSize $0
  WriteRegStr HKLM "${UNINSTALL_KEY}" FolderSetari "$SettingsFolder"
  !insertmacro RefuseWhenErrors "${TEXT_UNINSTALL_ENTRY_NOT_WRITTEN}"

  ; Moved to another program folder: the earlier one's programs and uninstaller go, now that the
  ; entry names the new one. What cannot go is named; the install itself is complete.
  KestrelonSetup::RemoveEarlierInstall $EarlierProgramFolder
  Pop $0
  ${If} $0 != ""
    KestrelonSetup::Named
    Pop $NotWritten
    MessageBox MB_OK|MB_ICONEXCLAMATION "${TEXT_EARLIER_NOT_REMOVED}" /SD IDOK
    SetErrorLevel ${EXIT_NOT_WRITTEN}
  ${EndIf}

  Call UpdateDailyTask
  KestrelonSetup::Release
  Call WriteSummary ; for the finish page
SectionEnd

; A file that could not be written (in use by a program, a full disk): NSIS stops the install
; there, after a Retry/Cancel box in the wizard.
Function .onInstFailed
  SetErrorLevel ${EXIT_NOT_WRITTEN}
FunctionEnd

; -- the uninstaller: everything but the settings folder, which keeps Kestrelon.ini and its
; .bak (the device's port; a later install finds them again) --

; Only the uninstaller of the install Add/Remove Programs knows goes on: a copy started from
; another folder (or told another one after _?=) would remove the real install's task and
; shortcuts, and files of another folder.
Function un.onInit
  !insertmacro PluginsFolderOnlyAdministratorsWrite "${TEXT_UNINSTALL_NOT_ADMINISTRATOR}"
  SetShellVarContext all
  !insertmacro SilentWhenAsked
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    !insertmacro Refuse ${EXIT_NOT_ADMINISTRATOR} "${TEXT_UNINSTALL_NOT_ADMINISTRATOR}"
  ${EndIf}
  !insertmacro RefuseBesideAnotherSetup
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" InstallLocation
  KestrelonSetup::SamePath $0 $INSTDIR
  Pop $0
  ${If} $0 != 1
    !insertmacro Refuse ${EXIT_BAD_OPTION} "${TEXT_NOT_THE_INSTALLED_UNINSTALLER}"
  ${EndIf}
  ; From here on the folder as Windows names it (_?= may spell it C:\a\\b or C:\PROGRA~1).
  KestrelonSetup::FullPath $INSTDIR
  Pop $INSTDIR
  Call un.RefuseWhileKestrelonRuns
FunctionEnd

Var NotRemoved ; what could not be removed, one a line

!macro RemoveOrTell FILE
  Delete "${FILE}"
  ${IfThen} ${FileExists} "${FILE}" ${|} StrCpy $NotRemoved "$NotRemoved${FILE}$\r$\n" ${|}
!macroend

; Stops the uninstall (exit code 6) when something could not be removed, after a box that
; names it: the uninstaller, its shortcut and the Add/Remove entry are still there, so it can
; be run again once the cause is gone.
!macro StopWhenNotRemoved
  ${If} $NotRemoved != ""
    MessageBox MB_OK|MB_ICONSTOP "${TEXT_NOT_REMOVED}" /SD IDOK
    Abort
  ${EndIf}
!macroend

; The task first: one that cannot be removed would run a missing program every evening, so
; then nothing else is removed. The uninstaller, its shortcut and the entry last, once all the
; rest is gone.
Section "Uninstall"
  StrCpy $NotRemoved ""
  SetOutPath "$SYSDIR" ; not in the program folder, which is removed, nor in $TEMP
  Call un.RemoveDailyTask
  Pop $NotRemoved
  ${If} $NotRemoved == "${TEXT_THE_TASK}"
    MessageBox MB_OK|MB_ICONSTOP "${TEXT_UNINSTALL_TASK_NOT_REMOVED}" /SD IDOK
    Abort
  ${EndIf}
  ${IfThen} $NotRemoved != "" ${|} StrCpy $NotRemoved "$NotRemoved$\r$\n" ${|}
  !insertmacro StopWhenNotRemoved
  !insertmacro RemoveProgramFiles
  !insertmacro RemoveOrTell "${DESKTOP_SHORTCUT}"
  !insertmacro RemoveOrTell "${SHORTCUT_FOLDER}\Raport Z.lnk"
  !insertmacro RemoveOrTell "${SHORTCUT_FOLDER}\KestrelonScan.lnk"
  !insertmacro RemoveOrTell "${SHORTCUT_FOLDER}\Ghid de utilizare.lnk"
  !insertmacro RemoveOrTell "${SHORTCUT_FOLDER}\Instrucțiuni pe scurt.lnk"
  !insertmacro StopWhenNotRemoved
  !insertmacro RemoveOrTell "${SHORTCUT_FOLDER}\Dezinstalare.lnk"
  !insertmacro StopWhenNotRemoved
  RMDir "${SHORTCUT_FOLDER}"
  ; Run in place (a fleet's silent uninstall, with _?=), the uninstaller's own file cannot be
  ; removed while it runs (NSIS reads it, sharing no deletion): it goes at the next restart, and
  ; the folder with it (a later install in the folder cancels that).
  KestrelonSetup::SamePath $EXEPATH "$INSTDIR\${UNINSTALLER}"
  Pop $0
  ${If} $0 != 1
    !insertmacro RemoveOrTell "$INSTDIR\${UNINSTALLER}"
  ${Else}
    ClearErrors
    Delete /REBOOTOK "$INSTDIR\${UNINSTALLER}"
    ${IfThen} ${Errors} ${|} StrCpy $NotRemoved "$INSTDIR\${UNINSTALLER}$\r$\n" ${|}
    RMDir /REBOOTOK "$INSTDIR"
  ${EndIf}
  !insertmacro StopWhenNotRemoved
  RMDir "$INSTDIR" ; only when empty: nothing of anyone else's is removed
  ClearErrors
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ${If} ${Errors}
    MessageBox MB_OK|MB_ICONSTOP "${TEXT_ENTRY_NOT_REMOVED}" /SD IDOK
    Abort
  ${EndIf}
SectionEnd

Function un.onUninstFailed
  SetErrorLevel ${EXIT_NOT_WRITTEN}
FunctionEnd
