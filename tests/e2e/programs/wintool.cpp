// wintool: looks at and drives the windows of other programs in the same Wine prefix.
//
//   wintool.exe COMMAND ARGS...   runs one command; exit code 0 on success, 1 on failure
//   wintool.exe serve             reads one command per line from stdin; after the output
//                                 of each command writes "OK" or "ERR reason" on a line
//
// Commands (numbers may be decimal or 0x hexadecimal; window handles are printed in hex):
//   find CLASS            one line per top-level window of that class:
//                         hwnd pid exe visible left top right bottom title
//                         (client rectangle in screen coordinates)
//   title HWND            the window's title
//   post HWND MSG WPARAM LPARAM   PostMessageA
//   send HWND MSG WPARAM LPARAM   SendMessageTimeoutA (2 s); prints the result
//   key HWND VK           posts WM_KEYDOWN then WM_KEYUP
//   sys HWND ID           posts WM_SYSCOMMAND with ID
//   dblclick HWND [X Y]   posts WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP
//                         (client coordinates; default the middle of the client area)
//   msgbox [PID]          one line per visible dialog window (class "#32770"):
//                         hwnd pid exe owner caption text buttons
//   dismiss HWND [ID]     presses button ID of a dialog (default: its default button,
//                         else IDOK, else IDCANCEL, else WM_CLOSE)
//   close HWND            posts WM_CLOSE
//   ps                    one line per process: pid exe
//   kill PID [CODE]       TerminateProcess
//   alive HWND            prints 1 if the window exists, else 0
// Fields are separated by tabs; in text fields a backslash, tab, CR and LF are written as
// \\, \t, \r and \n.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string Escape(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        default: out += static_cast<char>(c); break;
        }
    }
    return out;
}

bool ParseNumber(const std::string& text, long long* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    const char* s = text.c_str();
    if (s[0] == '-') {
        *value = std::strtoll(s, &end, 0);
    } else {
        *value = static_cast<long long>(std::strtoull(s, &end, 0));
    }
    return end && *end == '\0';
}

bool ParseWindow(const std::string& text, HWND* window) {
    long long value = 0;
    if (!ParseNumber(text, &value)) return false;
    *window = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(value));
    return true;
}

// The window's text as the system keeps it: no message is sent, so a busy or blocked
// program cannot hold this tool up.
std::string WindowText(HWND window) {
    wchar_t wide[1024] = {0};
    int length = InternalGetWindowText(window, wide, static_cast<int>(sizeof(wide) / sizeof(wide[0])));
    if (length <= 0) return std::string();
    char text[2048] = {0};
    int bytes = WideCharToMultiByte(CP_ACP, 0, wide, length, text, sizeof(text) - 1, nullptr, nullptr);
    return std::string(text, bytes > 0 ? bytes : 0);
}

std::string ClassOf(HWND window) {
    char name[256] = {0};
    if (!GetClassNameA(window, name, sizeof(name))) return std::string();
    return name;
}

std::string ProcessExe(DWORD pid) {
    std::string exe;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process) {
        char path[MAX_PATH] = {0};
        DWORD size = sizeof(path);
        if (QueryFullProcessImageNameA(process, 0, path, &size)) {
            exe = path;
            size_t slash = exe.find_last_of("\\/");
            if (slash != std::string::npos) exe = exe.substr(slash + 1);
        }
        CloseHandle(process);
    }
    return exe.empty() ? std::string("?") : exe;
}

std::string Hex(HWND window) {
    char text[32];
    std::snprintf(text, sizeof(text), "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(window)));
    return text;
}

struct Output {
    std::vector<std::string> lines;
    std::string error;  // empty on success
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM param) {
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
    return TRUE;
}

std::vector<HWND> TopLevelWindows() {
    std::vector<HWND> windows;
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

std::vector<HWND> ChildWindows(HWND parent) {
    std::vector<HWND> windows;
    EnumChildWindows(parent, CollectWindow, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

void Find(const std::string& className, Output* out) {
    for (HWND window : TopLevelWindows()) {
        if (ClassOf(window) != className) continue;
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        RECT client = {0, 0, 0, 0};
        GetClientRect(window, &client);
        POINT topLeft = {client.left, client.top};
        POINT bottomRight = {client.right, client.bottom};
        ClientToScreen(window, &topLeft);
        ClientToScreen(window, &bottomRight);
        char line[256];
        std::snprintf(line, sizeof(line), "%s\t%lu\t%s\t%d\t%ld\t%ld\t%ld\t%ld\t", Hex(window).c_str(),
                      static_cast<unsigned long>(pid), Escape(ProcessExe(pid)).c_str(),
                      IsWindowVisible(window) ? 1 : 0, topLeft.x, topLeft.y, bottomRight.x,
                      bottomRight.y);
        out->lines.push_back(line + Escape(WindowText(window)));
    }
}

// The text of a dialog: every static control that shows text (not an icon), in order.
void DescribeDialog(HWND dialog, std::string* text, std::string* buttons) {
    for (HWND child : ChildWindows(dialog)) {
        if (GetParent(child) != dialog) continue;
        std::string cls = ClassOf(child);
        LONG style = GetWindowLongA(child, GWL_STYLE);
        if (_stricmp(cls.c_str(), "Static") == 0) {
            DWORD kind = style & SS_TYPEMASK;
            if (kind == SS_ICON || kind == SS_BITMAP || kind == SS_ENHMETAFILE) continue;
            std::string part = WindowText(child);
            if (part.empty()) continue;
            if (!text->empty()) *text += "\n";
            *text += part;
        } else if (_stricmp(cls.c_str(), "Button") == 0 && (style & WS_VISIBLE)) {
            if (!buttons->empty()) *buttons += "|";
            *buttons += std::to_string(GetDlgCtrlID(child)) + ":" + WindowText(child);
        }
    }
}

void MsgBoxes(DWORD onlyPid, Output* out) {
    for (HWND window : TopLevelWindows()) {
        if (ClassOf(window) != "#32770" || !IsWindowVisible(window)) continue;
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (onlyPid && pid != onlyPid) continue;
        std::string text, buttons;
        DescribeDialog(window, &text, &buttons);
        char head[128];
        std::snprintf(head, sizeof(head), "%s\t%lu\t", Hex(window).c_str(), static_cast<unsigned long>(pid));
        out->lines.push_back(head + Escape(ProcessExe(pid)) + "\t" + Hex(GetWindow(window, GW_OWNER)) + "\t" +
                             Escape(WindowText(window)) + "\t" + Escape(text) + "\t" + Escape(buttons));
    }
}

void Dismiss(HWND dialog, long long wanted, Output* out) {
    int id = static_cast<int>(wanted);
    if (id == 0) {
        DWORD_PTR result = 0;
        if (SendMessageTimeoutA(dialog, DM_GETDEFID, 0, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK, 2000, &result) &&
            HIWORD(result) == DC_HASDEFID) {
            id = LOWORD(result);
        }
    }
    if (id == 0 && GetDlgItem(dialog, IDOK)) id = IDOK;
    if (id == 0 && GetDlgItem(dialog, IDCANCEL)) id = IDCANCEL;
    BOOL posted;
    if (id != 0) {
        HWND button = GetDlgItem(dialog, id);
        posted = PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
        out->lines.push_back(std::to_string(id));
    } else {
        posted = PostMessageA(dialog, WM_CLOSE, 0, 0);
        out->lines.push_back("close");
    }
    if (!posted) out->error = "post failed";
}

void Processes(Output* out) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        out->error = "snapshot failed";
        return;
    }
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        out->lines.push_back(std::to_string(entry.th32ProcessID) + "\t" + Escape(entry.szExeFile));
    }
    CloseHandle(snapshot);
}

bool PostOrFail(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, Output* out) {
    if (!PostMessageA(window, msg, wParam, lParam)) {
        out->error = "PostMessage failed (" + std::to_string(GetLastError()) + ")";
        return false;
    }
    return true;
}

LPARAM KeyLParam(UINT vk, bool up) {
    UINT scan = MapVirtualKeyA(vk, MAPVK_VK_TO_VSC);
    LPARAM value = 1 | (static_cast<LPARAM>(scan & 0xff) << 16);
    if (up) value |= (static_cast<LPARAM>(1) << 30) | (static_cast<LPARAM>(1) << 31);
    return value;
}

Output Run(const std::vector<std::string>& args) {
    Output out;
    if (args.empty()) {
        out.error = "no command";
        return out;
    }
    const std::string& cmd = args[0];
    std::vector<long long> n(args.size(), 0);
    auto number = [&](size_t i) {
        if (i >= args.size() || !ParseNumber(args[i], &n[i])) {
            out.error = "argument " + std::to_string(i) + " of " + cmd + " is not a number";
            return false;
        }
        return true;
    };
    HWND window = nullptr;
    auto needWindow = [&]() {
        if (args.size() < 2 || !ParseWindow(args[1], &window)) {
            out.error = cmd + " needs a window handle";
            return false;
        }
        if (!IsWindow(window)) {
            out.error = "no window " + args[1];
            return false;
        }
        return true;
    };

    if (cmd == "find") {
        if (args.size() < 2) out.error = "find needs a class name";
        else Find(args[1], &out);
    } else if (cmd == "title") {
        if (needWindow()) out.lines.push_back(Escape(WindowText(window)));
    } else if (cmd == "post") {
        if (needWindow() && number(2) && number(3) && number(4)) {
            PostOrFail(window, static_cast<UINT>(n[2]), static_cast<WPARAM>(n[3]), static_cast<LPARAM>(n[4]), &out);
        }
    } else if (cmd == "send") {
        if (needWindow() && number(2) && number(3) && number(4)) {
            DWORD_PTR result = 0;
            if (SendMessageTimeoutA(window, static_cast<UINT>(n[2]), static_cast<WPARAM>(n[3]),
                                    static_cast<LPARAM>(n[4]), SMTO_ABORTIFHUNG | SMTO_BLOCK, 2000, &result)) {
                out.lines.push_back(std::to_string(static_cast<long long>(result)));
            } else {
                out.error = "SendMessageTimeout failed";
            }
        }
    } else if (cmd == "key") {
        if (needWindow() && number(2)) {
            UINT vk = static_cast<UINT>(n[2]);
            if (PostOrFail(window, WM_KEYDOWN, vk, KeyLParam(vk, false), &out)) {
                PostOrFail(window, WM_KEYUP, vk, KeyLParam(vk, true), &out);
            }
        }
    } else if (cmd == "sys") {
        if (needWindow() && number(2)) PostOrFail(window, WM_SYSCOMMAND, static_cast<WPARAM>(n[2]), 0, &out);
    } else if (cmd == "dblclick") {
        if (needWindow()) {
            RECT client = {0, 0, 0, 0};
            GetClientRect(window, &client);
            long long x = client.right / 2, y = client.bottom / 2;
            if (args.size() >= 4) {
                if (!number(2) || !number(3)) return out;
                x = n[2];
                y = n[3];
            }
            LPARAM where = MAKELPARAM(static_cast<short>(x), static_cast<short>(y));
            const UINT sequence[] = {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP};
            for (UINT msg : sequence) {
                WPARAM buttons = (msg == WM_LBUTTONUP) ? 0 : MK_LBUTTON;
                if (!PostOrFail(window, msg, buttons, where, &out)) break;
            }
        }
    } else if (cmd == "msgbox") {
        if (args.size() >= 2 && !number(1)) return out;
        MsgBoxes(static_cast<DWORD>(n.size() > 1 ? n[1] : 0), &out);
    } else if (cmd == "dismiss") {
        if (needWindow()) {
            if (args.size() >= 3 && !number(2)) return out;
            Dismiss(window, args.size() >= 3 ? n[2] : 0, &out);
        }
    } else if (cmd == "close") {
        if (needWindow()) PostOrFail(window, WM_CLOSE, 0, 0, &out);
    } else if (cmd == "alive") {
        HWND w = nullptr;
        if (args.size() < 2 || !ParseWindow(args[1], &w)) out.error = "alive needs a window handle";
        else out.lines.push_back(IsWindow(w) ? "1" : "0");
    } else if (cmd == "ps") {
        Processes(&out);
    } else if (cmd == "kill") {
        if (number(1)) {
            if (args.size() >= 3 && !number(2)) return out;
            HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(n[1]));
            if (!process || !TerminateProcess(process, static_cast<UINT>(args.size() >= 3 ? n[2] : 1))) {
                out.error = "cannot terminate process " + args[1];
            }
            if (process) CloseHandle(process);
        }
    } else {
        out.error = "unknown command " + cmd;
    }
    return out;
}

// Splits a command line read in serve mode at blanks and tabs; double quotes group words.
std::vector<std::string> SplitLine(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false, quoted = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words.push_back(word);
    return words;
}

void Print(const Output& out) {
    for (const std::string& line : out.lines) std::printf("%s\n", line.c_str());
}

int Serve() {
    char buffer[4096];
    while (std::fgets(buffer, sizeof(buffer), stdin)) {
        std::vector<std::string> args = SplitLine(buffer);
        if (args.empty()) continue;
        if (args[0] == "exit") break;
        Output out = Run(args);
        Print(out);
        if (out.error.empty()) std::printf("OK\n");
        else std::printf("ERR %s\n", Escape(out.error).c_str());
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fprintf(stderr, "usage: wintool COMMAND ARGS... | wintool serve\n");
        return 2;
    }
    // Makes sure the desktop window (and Wine's desktop process) exists before any program
    // under test starts: that process then inherits this tool's standard handles, not the
    // pipes through which the harness reads the program's output.
    GetDesktopWindow();
    if (args[0] == "serve") return Serve();
    Output out = Run(args);
    Print(out);
    std::fflush(stdout);
    if (!out.error.empty()) {
        std::fprintf(stderr, "wintool: %s\n", out.error.c_str());
        return 1;
    }
    return 0;
}
