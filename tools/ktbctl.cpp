// ktbctl: remote control of running KTB viewers from scripts and chart editors.
//
//   ktbctl quit | pause | resume | restart | reload | remote-off [--all]
//   ktbctl play MEASURE [--all]
//   ktbctl speed HUNDREDTHS|FACTOR [--all]       e.g. speed 150, speed 1.5
//   ktbctl load CHART [--all]
//
// The viewers are found by their window class "KTBViewer_ZW". Without --all the message goes to
// the first viewer found (the top one in the window order), with --all to every viewer.
// Exit code: 0 when the message was posted to at least one viewer, 1 when no viewer runs,
// 2 on a usage error. load sends the chart's full path (WM_COPYDATA) and waits until the viewer
// has loaded it: 0 when every viewer it went to loaded it, 3 when one refused it, failed to load
// it or did not answer.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "app/ChartSession.h"
#include "app/CommandLine.h"
#include "app/Globals.h"
#include "app/HandOff.h"
#include "app/Startup.h"
#include "app/WindowList.h"

namespace {

struct Command {
    const char* name;
    UINT message;
    int takesValue;  // 0 none, 1 measure, 2 speed, 3 chart path
};

const Command kCommands[] = {
    {"quit", WM_VIEWER_QUIT, 0},         {"pause", WM_VIEWER_PAUSE, 0},
    {"resume", WM_VIEWER_RESUME, 0},     {"restart", WM_VIEWER_RESTART, 0},
    {"play", WM_VIEWER_PLAY_FROM, 1},    {"speed", WM_VIEWER_SPEED, 2},
    {"reload", WM_VIEWER_RELOAD, 0},     {"remote-off", WM_VIEWER_REMOTE_OFF, 0},
    {"load", WM_COPYDATA, 3},
};

void Usage()
{
    fprintf(stderr,
            "usage: ktbctl COMMAND [VALUE] [--all]\n"
            "  quit          end the viewer                         (WM_USER+101)\n"
            "  pause         pause playback                         (WM_USER+102)\n"
            "  resume        resume a paused playback               (WM_USER+103)\n"
            "  restart       play again from the start measure      (WM_USER+104)\n"
            "  play N        play from measure N at once            (WM_USER+105)\n"
            "  speed H       scroll speed: hundredths (150) or a factor with a point (1.5)\n"
            "                                                       (WM_USER+106)\n"
            "  reload        open the file dialog to load a chart   (WM_USER+110)\n"
            "  remote-off    make the viewer ignore remote control  (WM_USER+200)\n"
            "  load CHART    load this chart now and wait until it is ready\n"
            "                                   (WM_COPYDATA, dwData 0x4B54424C)\n"
            "  --all         send to every running viewer, not only the first found\n");
}

// A whole decimal integer (optional sign), nothing else.
int ParseWholeNumber(const char* text, int* out)
{
    const char* p = text;
    if (*p == '+' || *p == '-')
        ++p;
    if (*p < '0' || *p > '9')
        return 0;
    while (*p >= '0' && *p <= '9')
        ++p;
    if (*p != '\0')
        return 0;
    *out = ParseIntLikeAtoi(text);
    return 1;
}

int ParseSpeed(const char* text, int* out)
{
    if (strchr(text, '.')) {
        char* end = nullptr;
        double factor = strtod(text, &end);
        if (!end || *end != '\0' || !(factor > -100000.0 && factor < 100000.0))
            return 0;
        *out = (int)(factor * 100.0 + (factor < 0 ? -0.5 : 0.5));
        return 1;
    }
    return ParseWholeNumber(text, out);
}

// load: the chart's full path to the first viewer found (every viewer with all), one at a time.
int Load(const char* chart, int all)
{
    char path[KTB_PATH_SIZE];
    if (!chart || !MakeHandOffPath(chart, path)) {
        fprintf(stderr, "ktbctl: 'load' needs a chart path (at most %d characters in full)\n", KTB_PATH_SIZE - 1);
        return 2;
    }
    CWindowList viewers;
    viewers.FindClass(KTB_CLASS_NAME, nullptr);
    int sent = 0, loaded = 0;
    for (int i = 0; i < viewers.m_foundCount && (all || sent == 0); ++i) {
        int result = SendHandOff(viewers.m_found[i], path, KTB_HANDOFF_TIMEOUT_MS);
        printf("ktbctl: load %s: %s\n", path, HandOffOutcome(result));
        ++sent;
        loaded += result == 0;
    }
    if (sent == 0) {
        printf("ktbctl: load sent to 0 viewers\n");
        return 1;
    }
    return loaded == sent ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv)
{
    const Command* command = nullptr;
    const char* value = nullptr;
    int all = 0;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--all") == 0) {
            all = 1;
        } else if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            Usage();
            return 0;
        } else if (!command) {
            for (const Command& c : kCommands) {
                if (_stricmp(argv[i], c.name) == 0)
                    command = &c;
            }
            if (!command) {
                fprintf(stderr, "ktbctl: unknown command '%s'\n", argv[i]);
                Usage();
                return 2;
            }
        } else if (command->takesValue && !value) {
            value = argv[i];
        } else {
            fprintf(stderr, "ktbctl: unexpected argument '%s'\n", argv[i]);
            return 2;
        }
    }
    if (!command) {
        Usage();
        return 2;
    }

    if (command->takesValue == 3)
        return Load(value, all);

    int parameter = 0;
    if (command->takesValue) {
        int ok = 0;
        if (value)
            ok = command->takesValue == 1 ? ParseWholeNumber(value, &parameter) : ParseSpeed(value, &parameter);
        if (!ok) {
            fprintf(stderr, "ktbctl: '%s' needs a %s\n", command->name,
                    command->takesValue == 1 ? "measure number" : "speed (hundredths, or a factor like 1.5)");
            return 2;
        }
    }

    CWindowList viewers;
    viewers.FindClass(KTB_CLASS_NAME, nullptr);
    int posted = 0;
    for (int i = 0; i < viewers.m_foundCount && (all || posted == 0); ++i) {
        if (PostMessageA(viewers.m_found[i], command->message, (WPARAM)(INT_PTR)parameter, 0))
            ++posted;
    }
    printf("ktbctl: %s posted to %d viewer%s\n", command->name, posted, posted == 1 ? "" : "s");
    return posted > 0 ? 0 : 1;
}
