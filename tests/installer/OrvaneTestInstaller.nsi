; A small real installer for the tracking tests, built by makensis at build time. It installs into
; a new folder below the program-files folder (with a subfolder), puts shortcuts directly into the
; common desktop and common Start-menu folders and into the existing common Programs folder, a file
; into the existing system folder, and writes its uninstaller.
;   makensis -DOUTFILE=<installer.exe> -DPAYLOAD=<payload folder> [-DX86] OrvaneTestInstaller.nsi
; X86 builds a 32-bit installer that installs below the 32-bit program-files folder, as a 32-bit
; setup does; without it the installer is 64-bit.
Unicode true
!ifdef X86
Target x86-unicode
!define PROGRAM_FILES "$PROGRAMFILES"
!else
Target amd64-unicode
!define PROGRAM_FILES "$PROGRAMFILES64"
!endif
SetCompressor /SOLID lzma

Name "Orvane Test Product"
OutFile "${OUTFILE}"
InstallDir "${PROGRAM_FILES}\Orvane Test Product"
RequestExecutionLevel admin
SilentInstall silent
SilentUnInstall silent

Section "Install"
    SetShellVarContext all
    SetOutPath "$INSTDIR"
    File "${PAYLOAD}/readme.txt"
    SetOutPath "$INSTDIR\docs"
    File "${PAYLOAD}/docs/guide.txt"
    SetOutPath "$INSTDIR"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortcut "$DESKTOP\Orvane Test Product.lnk" "$INSTDIR\readme.txt"
    CreateShortcut "$STARTMENU\Orvane Test Product.lnk" "$INSTDIR\docs\guide.txt"
    CreateShortcut "$SMPROGRAMS\Orvane Test Product Guide.lnk" "$INSTDIR\docs\guide.txt"
    SetOutPath "$SYSDIR"
    File "/oname=orvane-test-product.dat" "${PAYLOAD}/readme.txt"
    SetOutPath "$INSTDIR"
SectionEnd

Section "Uninstall"
    SetShellVarContext all
    Delete "$DESKTOP\Orvane Test Product.lnk"
    Delete "$STARTMENU\Orvane Test Product.lnk"
    Delete "$SMPROGRAMS\Orvane Test Product Guide.lnk"
    Delete "$SYSDIR\orvane-test-product.dat"
    Delete "$INSTDIR\docs\guide.txt"
    RMDir "$INSTDIR\docs"
    Delete "$INSTDIR\readme.txt"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
SectionEnd
