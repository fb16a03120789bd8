/* One of the bundle's launchers (built once per name, -DLAUNCHER=L"publier"):
 * runs the bundle's own interpreter, python\python.exe beside this program, on
 * trasko's launch module with the launcher's name and this program's command
 * line after its own name, character for character. No shell stands between
 * Explorer and the interpreter, so nothing in a path (&, ^, %, !, accents,
 * blanks, any length) is read as syntax. When Explorer opened the window (a
 * double-click or a drop: the console is this program's alone), it stays open
 * with the outcome until a key is pressed. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#ifndef LAUNCHER
#error "build with -DLAUNCHER=L\"name\""
#endif

#define LONGEST 32768 /* the longest command line and path Windows takes */

static wchar_t command[LONGEST];
static wchar_t interpreter[LONGEST];

static void say(const wchar_t *text)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode, done;
    char bytes[1024];
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, text, lstrlenW(text), &done, NULL);
        return;
    }
    /* A pipe or a file gets what the interpreter writes there: the ANSI code page. */
    int size = WideCharToMultiByte(CP_ACP, 0, text, -1, bytes, sizeof bytes, NULL, NULL);
    if (size > 1) WriteFile(out, bytes, size - 1, &done, NULL);
}

/* Ctrl-C goes to the interpreter, which stops the run and prints its summary;
 * this program stays to report the outcome and keep the window open. */
static BOOL WINAPI outlive_interrupt(DWORD event)
{
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
}

/* What follows the program's own name, by the rule every Windows program
 * splits its command line with: a quoted name ends at the next quote, a bare
 * one at the first blank. */
static const wchar_t *arguments(const wchar_t *line)
{
    if (*line == L'"') {
        for (line++; *line && *line != L'"'; line++) {}
        if (*line) line++;
    } else {
        while (*line && *line != L' ' && *line != L'\t') line++;
    }
    while (*line == L' ' || *line == L'\t') line++;
    return line;
}

static int explorer_opened(void)
{
    DWORD processes[2];
    return GetConsoleProcessList(processes, 2) == 1;
}

static void wait_for_a_key(void)
{
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    INPUT_RECORD record;
    DWORD mode, count;
    char byte;
    say(L"\r\nAppuyez sur une touche pour fermer cette fen\u00eatre.\r\n");
    if (!GetConsoleMode(in, &mode)) {
        ReadFile(in, &byte, 1, &count, NULL);
        return;
    }
    FlushConsoleInputBuffer(in);
    while (ReadConsoleInputW(in, &record, 1, &count) && count == 1)
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) return;
}

static DWORD run(void)
{
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    DWORD status = 1;
    DWORD length = GetModuleFileNameW(NULL, interpreter, LONGEST);
    wchar_t *folder_end = interpreter + length;
    while (folder_end > interpreter && folder_end[-1] != L'\\') folder_end--;
    *folder_end = 0;
    if (length == 0 || length >= LONGEST || lstrlenW(interpreter) > LONGEST - 32) return 1;
    lstrcatW(interpreter, L"python\\python.exe");
    const wchar_t *rest = arguments(GetCommandLineW());
    if (lstrlenW(interpreter) + lstrlenW(rest) + 64 >= LONGEST) {
        say(L"velka : ligne de commande trop longue pour Windows.\r\n");
        return 2;
    }
    lstrcpyW(command, L"\"");
    lstrcatW(command, interpreter);
    lstrcatW(command, L"\" -E -s -m trasko.launch " LAUNCHER L" ");
    lstrcatW(command, rest);
    if (!CreateProcessW(interpreter, command, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
        say(L"velka : le dossier python est introuvable \u00e0 c\u00f4t\u00e9 de ce lanceur : "
            L"extrayez de nouveau tout le fichier zip, puis relancez.\r\n");
        return 1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return status;
}

int wmain(void)
{
    SetConsoleCtrlHandler(outlive_interrupt, TRUE);
    DWORD status = run();
    if (explorer_opened()) wait_for_a_key();
    return (int)status;
}
