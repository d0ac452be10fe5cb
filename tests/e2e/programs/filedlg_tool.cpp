// filedlg_tool: types a file name into an open-file dialog of another program and presses OK.
//
//   filedlg_tool.exe HWND PATH     HWND in hexadecimal (as wintool prints it)
//
// Exit code 0 when the name was set and OK pressed, 1 when the dialog or its name field was
// not found, 2 on a usage error.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: filedlg_tool HWND PATH\n");
        return 2;
    }
    HWND dialog = (HWND)(INT_PTR)std::strtoull(argv[1], nullptr, 16);
    if (!IsWindow(dialog)) {
        std::fprintf(stderr, "no window %s\n", argv[1]);
        return 1;
    }
    // The name field: the combo box of the Explorer-style dialog (cmb13), else the edit (edt1).
    HWND field = GetDlgItem(dialog, 0x47c);
    if (!field)
        field = GetDlgItem(dialog, 0x480);
    if (!field) {
        std::fprintf(stderr, "no file name field\n");
        return 1;
    }
    DWORD_PTR result = 0;
    SendMessageTimeoutA(field, WM_SETTEXT, 0, (LPARAM)argv[2], SMTO_ABORTIFHUNG, 2000, &result);
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(dialog, IDOK));
    std::printf("ok\n");
    return 0;
}
