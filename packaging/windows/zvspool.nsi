; The zvspool installer. makensis gets the paths and the version from the build:
;   makensis -DVERSION=x.y.z -DEXE=zvspool.exe -DREADME=README.txt -DCALIBRATION=calibration.zv
;            -DICON=zvspool.ico
;            -DOUTFILE=zvspool-x.y.z-setup.exe zvspool.nsi
; Unattended: zvspool-x.y.z-setup.exe /S [/FOLDER=C:\folder\holding\ZV] [/PRINTER=name]
;                                           [/BOOTUSER=name [/BOOTPASSWORD=password]]
;                                           [/D=C:\install\dir]
; /BOOTUSER starts zvspool at boot, whether or not anyone logs in, as that user: a task of the Task
; Scheduler ("zvspool at boot", at system start, restarted when it fails) runs
; "zvspool.exe --no-window" in the folder, in place of the Startup shortcut. With the user's
; password the task can reach the user's network printers; without it (a task of the S4U kind,
; which stores no password) only printers on this computer.
; Run again with another folder, it adds that folder (its own shortcuts, "zvspool (NAME)"); the
; first folder keeps printing. /PRINTER writes "printer = name" into the folder's zvspool.conf
; when the folder has none.
;
; zvspool watches the ZV folder of the folder it is started in, so what the installer really sets
; up is shortcuts whose "Start in" is the folder the legacy program writes its ZV into. That folder
; and its jobs belong to the user: the uninstaller only ever deletes files it installed by name.

!ifndef VERSION | EXE | README | CALIBRATION | ICON | OUTFILE
  !error "pass -DVERSION, -DEXE, -DREADME, -DCALIBRATION, -DICON and -DOUTFILE"
!endif

Unicode true
; A 64-bit installer for a 64-bit program: no registry or Program Files redirection to think of.
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\zvspool"
!define DEFAULT_FOLDER "C:\ZV-kartoteka"

Name "zvspool"
Caption "zvspool ${VERSION}"
BrandingText "zvspool ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\zvspool"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "zvspool"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "zvspool ${VERSION} setup"
VIAddVersionKey /LANG=1033 "CompanyName" "zvspool developers"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (C) zvspool developers"

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh
!include nsDialogs.nsh
!include WordFunc.nsh

; The folder that holds ZV: the shortcuts' working directory.
Var Folder
; The folder of the first install ("" before it), and the printer asked for with /PRINTER.
Var Primary
Var Printer
; The user zvspool runs as from boot ("" for a start at every login instead), and the password.
Var BootUser
Var BootPassword
Var BootCheck
Var BootUserField
Var BootPasswordField
Var FinishText

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING

!insertmacro MUI_PAGE_WELCOME

!define MUI_PAGE_HEADER_TEXT "Folder of the ZV jobs"
!define MUI_PAGE_HEADER_SUBTEXT "Choose the folder that holds ZV, where the card-index program writes its printouts."
!define MUI_DIRECTORYPAGE_TEXT_TOP "zvspool prints the job files zv*.zv that the card-index program writes into the folder ZV. Choose the folder that holds ZV (ZV is created in it if it is missing). zvspool is started in this folder and writes its log zvspool.log there."
!define MUI_DIRECTORYPAGE_TEXT_DESTINATION "Folder that holds ZV"
!define MUI_DIRECTORYPAGE_VARIABLE $Folder
!insertmacro MUI_PAGE_DIRECTORY

!insertmacro MUI_PAGE_DIRECTORY
Page custom BootPage BootPageLeave
!insertmacro MUI_PAGE_INSTFILES

!define MUI_FINISHPAGE_TITLE "zvspool is installed"
; Not started from here: the installer runs as administrator, and so would zvspool.
!define MUI_FINISHPAGE_TEXT "$FinishText"
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\README.txt"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

; The task that starts zvspool at boot for the folder $Folder as $BootUser, named $R0 and written
; as the XML the Task Scheduler takes (UTF-16): at system start, no time limit, restarted a minute
; after it fails, on batteries too. The XML stays beside the program ("$R0.xml"), so that an
; administrator can register it again (a changed password: schtasks /Create /XML ... /RU /RP).
!macro WRITE_LINE text
  FileWriteUTF16LE $0 `${text}$\r$\n`
!macroend
; $9 as XML text: & < > escaped (a folder "Biuro & Magazyn").
Function XmlText
  ${WordReplace} $9 "&" "&amp;" "+" $9
  ${WordReplace} $9 "<" "&lt;" "+" $9
  ${WordReplace} $9 ">" "&gt;" "+" $9
FunctionEnd

; $9 as it must stand between double quotes on a command line for the program to read it back
; as it is: a run of backslashes is doubled where a double quote follows it, the quote itself
; escaped, or the closing quote follows.
Function ArgText
  Push $0
  Push $1
  Push $2
  Push $3
  StrCpy $0 0
  StrCpy $2 ""
  StrCpy $3 ""
  ${Do}
    StrCpy $1 $9 1 $0
    ${If} $1 == ""
      StrCpy $2 "$2$3$3"
      ${Break}
    ${ElseIf} $1 == '\'
      StrCpy $3 '$3\'
    ${ElseIf} $1 == '"'
      StrCpy $2 '$2$3$3\"'
      StrCpy $3 ""
    ${Else}
      StrCpy $2 "$2$3$1"
      StrCpy $3 ""
    ${EndIf}
    IntOp $0 $0 + 1
  ${Loop}
  StrCpy $9 $2
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; Registers the task; $R3 is 1 when the Task Scheduler took it, else 0 (said in a message).
Function RegisterBootTask
  StrCpy $9 $Folder
  Call XmlText
  StrCpy $R4 $9
  StrCpy $9 $BootUser
  Call XmlText
  StrCpy $R5 $9
  StrCpy $9 "$INSTDIR\zvspool.exe"
  Call XmlText
  StrCpy $R6 $9
  FileOpen $0 "$INSTDIR\$R0.xml" w
  FileWriteWord $0 0xFEFF
  !insertmacro WRITE_LINE '<?xml version="1.0" encoding="UTF-16"?>'
  !insertmacro WRITE_LINE '<Task version="1.2" xmlns="http://schemas.microsoft.com/windows/2004/02/mit/task">'
  !insertmacro WRITE_LINE '  <RegistrationInfo><Description>Prints the ZV jobs of $R4 from boot, as $R5</Description></RegistrationInfo>'
  !insertmacro WRITE_LINE '  <Triggers><BootTrigger><Enabled>true</Enabled></BootTrigger></Triggers>'
  ${If} $BootPassword == ""
    StrCpy $1 "S4U"
  ${Else}
    StrCpy $1 "Password"
  ${EndIf}
  !insertmacro WRITE_LINE '  <Principals><Principal id="Author"><UserId>$R5</UserId><LogonType>$1</LogonType><RunLevel>LeastPrivilege</RunLevel></Principal></Principals>'
  !insertmacro WRITE_LINE '  <Settings><MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy><DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries><StopIfGoingOnBatteries>false</StopIfGoingOnBatteries><ExecutionTimeLimit>PT0S</ExecutionTimeLimit><RestartOnFailure><Interval>PT1M</Interval><Count>999</Count></RestartOnFailure><Enabled>true</Enabled></Settings>'
  !insertmacro WRITE_LINE '  <Actions Context="Author"><Exec><Command>$R6</Command><Arguments>--no-window</Arguments><WorkingDirectory>$R4</WorkingDirectory></Exec></Actions>'
  !insertmacro WRITE_LINE '</Task>'
  FileClose $0
  ${If} $BootPassword == ""
    nsExec::ExecToLog '"$SYSDIR\schtasks.exe" /Create /F /TN "$R0" /XML "$INSTDIR\$R0.xml"'
  ${Else}
    StrCpy $9 $BootPassword
    Call ArgText
    nsExec::ExecToLog '"$SYSDIR\schtasks.exe" /Create /F /TN "$R0" /XML "$INSTDIR\$R0.xml" /RU "$BootUser" /RP "$9"'
  ${EndIf}
  Pop $1
  ${If} $1 != 0
    MessageBox MB_ICONEXCLAMATION "The Task Scheduler did not take the task $\"$R0$\" (schtasks: $1): zvspool starts at every login instead. Check the user name and password, and install again." /SD IDOK
    SetErrorLevel 3
    StrCpy $R3 0
  ${Else}
    DetailPrint "zvspool starts at boot as $BootUser: the task $\"$R0$\"."
    StrCpy $R3 1
  ${EndIf}
FunctionEnd

; Ends the boot tasks there are, so that their zvspool.exe can be replaced.
Function EndBootTasks
  FindFirst $0 $1 "$SYSDIR\Tasks\zvspool at boot*"
  ${DoWhile} $1 != ""
    nsExec::ExecToLog '"$SYSDIR\schtasks.exe" /End /TN "$1"'
    Pop $2
    FindNext $0 $1
  ${Loop}
  FindClose $0
FunctionEnd

; Starts again the boot tasks EndBootTasks ended, all there were before the install ($R7 is 1 when
; the task $R2 is one of them): a task made now starts at the next boot.
Function RunBootTasks
  FindFirst $0 $1 "$SYSDIR\Tasks\zvspool at boot*"
  ${DoWhile} $1 != ""
    ${If} $1 != $R2
    ${OrIf} $R7 == 1
      nsExec::ExecToLog '"$SYSDIR\schtasks.exe" /Run /TN "$1"'
      Pop $2
    ${EndIf}
    FindNext $0 $1
  ${Loop}
  FindClose $0
FunctionEnd

; Printing with nobody logged in: at boot, as a user, instead of at every login.
Function BootPage
  !insertmacro MUI_HEADER_TEXT "Start at boot" "Print also while nobody is logged in."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 40u "zvspool starts at every login, with its window. It can start at boot instead, as a user of this computer, and print whether or not anyone is logged in: a task of the Task Scheduler, without a window. zvspool.log in the folder and $\"zvspool --status$\" then tell what it does."
  Pop $0
  ${NSD_CreateCheckbox} 0 44u 100% 12u "Start zvspool at boot, as this user:"
  Pop $BootCheck
  ${NSD_CreateLabel} 12u 62u 60u 12u "User name:"
  Pop $0
  ${If} $BootUser == ""
    ReadEnvStr $1 USERNAME
  ${Else}
    StrCpy $1 $BootUser
    ${NSD_Check} $BootCheck
  ${EndIf}
  ${NSD_CreateText} 76u 60u 150u 12u $1
  Pop $BootUserField
  ${NSD_CreateLabel} 12u 80u 60u 12u "Password:"
  Pop $0
  ${NSD_CreatePassword} 76u 78u 150u 12u $BootPassword
  Pop $BootPasswordField
  ${NSD_CreateLabel} 12u 98u 100% 30u "The task stores the password to reach the user's network printers. Without one it stores none and reaches only the printers of this computer."
  Pop $0
  nsDialogs::Show
FunctionEnd

Function BootPageLeave
  ${NSD_GetState} $BootCheck $0
  ${If} $0 != ${BST_CHECKED}
    StrCpy $BootUser ""
    StrCpy $BootPassword ""
    Return
  ${EndIf}
  ${NSD_GetText} $BootUserField $BootUser
  ${NSD_GetText} $BootPasswordField $BootPassword
  ${If} $BootUser == ""
    MessageBox MB_ICONEXCLAMATION "Name the user zvspool prints as from boot."
    Abort
  ${EndIf}
FunctionEnd

; A running zvspool.exe cannot be replaced or deleted. Asks it to close as closing its window
; does (a job it is printing stays in ZV and is printed whole next time), and waits for it.
!macro CLOSE_RUNNING prefix
Function ${prefix}CloseRunning
  IfFileExists "$INSTDIR\zvspool.exe" 0 done
  nsExec::Exec 'taskkill /IM zvspool.exe'
  Pop $0
  StrCpy $1 0
  ${Do}
    ClearErrors
    FileOpen $0 "$INSTDIR\zvspool.exe" a
    ${IfNot} ${Errors}
      FileClose $0
      ${Break}
    ${EndIf}
    IntOp $1 $1 + 1
    ${If} $1 > 60
      ${Break}
    ${EndIf}
    Sleep 500
  ${Loop}
  done:
FunctionEnd
!macroend
!insertmacro CLOSE_RUNNING ""
!insertmacro CLOSE_RUNNING "un."

Function .onInit
  SetShellVarContext all
  ; An upgrade keeps the folder chosen before.
  ReadRegStr $Primary HKLM "${UNINSTALL_KEY}" "ZvFolder"
  StrCpy $Folder $Primary
  ${If} $Folder == ""
    StrCpy $Folder "${DEFAULT_FOLDER}"
  ${EndIf}
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/FOLDER=" $R1
  ${IfNot} ${Errors}
    StrCpy $Folder $R1
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/PRINTER=" $Printer
  ${If} ${Errors}
    StrCpy $Printer ""
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/BOOTUSER=" $BootUser
  ${If} ${Errors}
    StrCpy $BootUser ""
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/BOOTPASSWORD=" $BootPassword
  ${If} ${Errors}
    StrCpy $BootPassword ""
  ${EndIf}
  ; A shortcut's "Start in" must be a full path: a drive (C:\...) or a share (\\server\...).
  StrCpy $R2 $Folder 2
  StrCpy $R3 $Folder 2 1
  ${If} $R2 != "\\"
  ${AndIf} $R3 != ":\"
    MessageBox MB_ICONSTOP "The folder that holds ZV must be a full path, not $\"$Folder$\"." /SD IDOK
    Abort
  ${EndIf}
FunctionEnd

Section
  SetShellVarContext all
  Call EndBootTasks
  Call CloseRunning
  SetOutPath "$INSTDIR"
  File "/oname=zvspool.exe" "${EXE}"
  File "/oname=README.txt" "${README}"
  ; The sheet to print when lining up pre-printed forms (README.txt), beside the program.
  File "/oname=calibration.zv" "${CALIBRATION}"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  ClearErrors
  CreateDirectory "$Folder\ZV"
  ${IfNot} ${FileExists} "$Folder\ZV\*.*"
    MessageBox MB_ICONEXCLAMATION "Could not create $Folder\ZV. Create it before starting zvspool." /SD IDOK
  ${EndIf}

  ; The folder's printer, unless the folder has its own settings already.
  ${If} $Printer != ""
    ${If} ${FileExists} "$Folder\zvspool.conf"
      DetailPrint "$Folder\zvspool.conf is there already: its printer stays as it is."
    ${Else}
      FileOpen $0 "$Folder\zvspool.conf" w
      FileWrite $0 "# This folder's printer and set-up (see README.txt).$\r$\nprinter = $Printer$\r$\n"
      FileClose $0
    ${EndIf}
  ${EndIf}

  ; The first folder's shortcuts are "zvspool"; another folder's are named after it.
  StrCpy $R0 "zvspool"
  ${If} $Primary != ""
  ${AndIf} $Primary != $Folder
    ${GetFileName} "$Folder" $R1
    StrCpy $R0 "zvspool ($R1)"
  ${EndIf}
  ; CreateShortCut gives a shortcut the current output folder as its "Start in".
  SetOutPath "$Folder"
  CreateShortCut "$SMPROGRAMS\$R0.lnk" "$INSTDIR\zvspool.exe" "" "$INSTDIR\zvspool.exe" 0 \
    SW_SHOWNORMAL "" "Prints the ZV jobs of $Folder"
  ; From boot, a task; else at every login, a Startup shortcut. Never both: one zvspool a folder.
  ; Installed again without a user (an upgrade), a folder's task stays as it was.
  StrCpy $R1 $R0 "" 7
  StrCpy $R2 "zvspool at boot$R1"
  StrCpy $R3 0
  StrCpy $R7 0
  ${If} ${FileExists} "$SYSDIR\Tasks\$R2"
    StrCpy $R7 1
  ${EndIf}
  ${If} $BootUser != ""
    Delete "$SMSTARTUP\$R0.lnk"
    Push $R0
    StrCpy $R0 $R2
    Call RegisterBootTask
    Pop $R0
  ${ElseIf} ${FileExists} "$SYSDIR\Tasks\$R2"
    StrCpy $R3 2
    DetailPrint "The task $\"$R2$\" stays: zvspool starts at boot for $Folder."
  ${EndIf}
  ${If} $R3 == 0
    CreateShortCut "$SMSTARTUP\$R0.lnk" "$INSTDIR\zvspool.exe" "" "$INSTDIR\zvspool.exe" 0 \
      SW_SHOWNORMAL "" "Prints the ZV jobs of $Folder"
  ${EndIf}
  SetOutPath "$INSTDIR"
  ${If} $Primary == ""
    StrCpy $Primary $Folder
  ${EndIf}
  ${If} $R3 == 0
    StrCpy $FinishText "zvspool starts at every login, in $Folder. To start it now, choose zvspool in the Start menu.$\r$\n$\r$\nIts log is zvspool.log in that folder."
  ${Else}
    StrCpy $FinishText "zvspool starts at every boot, in $Folder, without a window, whether or not anyone logs in (the task $\"$R2$\"); to start it before the next boot: schtasks /Run /TN $\"$R2$\".$\r$\n$\r$\nIts log is zvspool.log in that folder; $\"zvspool --status$\" there tells where its jobs stand."
  ${EndIf}
  Call RunBootTasks

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "zvspool"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\zvspool.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "zvspool developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "ZvFolder" "$Primary"
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; Only what the installer put there, file by file; the folder that holds ZV is never touched.
Section "Uninstall"
  SetShellVarContext all
  ; The boot tasks, found where the Task Scheduler keeps them; ending one ends its zvspool.
  FindFirst $0 $1 "$SYSDIR\Tasks\zvspool at boot*"
  ${DoWhile} $1 != ""
    nsExec::ExecToLog '"$SYSDIR\schtasks.exe" /End /TN "$1"'
    Pop $2
    nsExec::ExecToLog '"$SYSDIR\schtasks.exe" /Delete /F /TN "$1"'
    Pop $2
    FindNext $0 $1
  ${Loop}
  FindClose $0
  Call un.CloseRunning
  Delete "$SMSTARTUP\zvspool.lnk"
  Delete "$SMPROGRAMS\zvspool.lnk"
  Delete "$SMSTARTUP\zvspool (*).lnk"
  Delete "$SMPROGRAMS\zvspool (*).lnk"
  Delete /REBOOTOK "$INSTDIR\zvspool.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\calibration.zv"
  Delete "$INSTDIR\zvspool at boot*.xml"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
