; The Windows installer: per machine, into Program Files\rollcall, with a Start-menu entry,
; the folder on the system PATH (so "rollcall scan" works in any new console), and an
; uninstaller listed in Apps & features that takes off exactly what was put there.
; makensis -DVERSION=1.2.3 -DSTAGE=folder -DFILES=files.nsh -DUNFILES=unfiles.nsh
;          -DICON=rollcall.ico -DOUTFILE=setup.exe installer.nsi
Target amd64-unicode
ManifestDPIAware true
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!include LogicLib.nsh
!include WinMessages.nsh
!include x64.nsh
!include StrFunc.nsh
${StrStr}
${UnStrRep}

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\rollcall"
!define ENVIRONMENT_KEY "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"

Name "rollcall ${VERSION}"
OutFile "${OUTFILE}"
Icon "${ICON}"
UninstallIcon "${ICON}"
InstallDir "$PROGRAMFILES64\rollcall"
BrandingText "rollcall ${VERSION}"
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "rollcall"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "rollcall ${VERSION} setup"
VIAddVersionKey /LANG=1033 "CompanyName" "the rollcall developers"
VIAddVersionKey /LANG=1033 "LegalCopyright" "the rollcall developers; see copyright.txt"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
    ${IfNot} ${RunningX64}
        MessageBox MB_ICONSTOP "rollcall needs 64-bit Windows." /SD IDOK
        Abort
    ${EndIf}
    SetRegView 64
    SetShellVarContext all
FunctionEnd

Function un.onInit
    SetRegView 64
    SetShellVarContext all
FunctionEnd

Section "rollcall"
    SetOutPath "$INSTDIR"
    !include "${FILES}"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortcut "$SMPROGRAMS\rollcall.lnk" "$INSTDIR\rollcall.exe" "" "$INSTDIR\rollcall.exe" 0

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "rollcall"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "the rollcall developers"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\rollcall.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" ${SIZE_KB}

    ; A PATH longer than NSIS can hold would come back cut short or empty; writing that
    ; back would lose the rest, so such a PATH is left as it is.
    ReadRegStr $0 HKLM "${ENVIRONMENT_KEY}" "Path"
    StrLen $1 $0
    ${If} $1 >= ${NSIS_MAX_STRLEN}
        DetailPrint "The system PATH is too long to change here; add $INSTDIR to it by hand."
    ${Else}
        ${StrStr} $2 ";$0;" ";$INSTDIR;"
        ${If} $2 == ""
            ${If} $0 == ""
                StrCpy $0 "$INSTDIR"
            ${Else}
                StrCpy $0 "$0;$INSTDIR"
            ${EndIf}
            WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" "$0"
            WriteRegDWORD HKLM "${UNINSTALL_KEY}" "AddedToPath" 1
            SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=2000
        ${EndIf}
    ${EndIf}
SectionEnd

Section "Uninstall"
    ReadRegDWORD $3 HKLM "${UNINSTALL_KEY}" "AddedToPath"
    ${If} $3 == 1
        ReadRegStr $0 HKLM "${ENVIRONMENT_KEY}" "Path"
        StrLen $1 $0
        ${If} $1 < ${NSIS_MAX_STRLEN}
            ; Only this folder's own entry goes: ";dir;" inside, or at either end.
            ${UnStrRep} $0 ";$0;" ";$INSTDIR;" ";"
            StrCpy $1 $0 1
            ${If} $1 == ";"
                StrCpy $0 $0 "" 1
            ${EndIf}
            StrCpy $1 $0 1 -1
            ${If} $1 == ";"
                StrCpy $0 $0 -1
            ${EndIf}
            WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" "$0"
            SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=2000
        ${EndIf}
    ${EndIf}

    Delete "$SMPROGRAMS\rollcall.lnk"
    !include "${UNFILES}"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
