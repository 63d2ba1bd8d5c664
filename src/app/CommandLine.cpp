// Reading the command line: the words as Windows splits them, then the
// switches, judged whole before anything runs.
#include <cwctype>

#include "app/Text.h"
#include "app/Unattended.h"

const WCHAR USAGE_TEXT[] =
    L"Usage:\r\n"
    L"  Kestrel.exe                       the updater's window\r\n"
    L"  Kestrel.exe /list                 the drives and what the package does for each\r\n"
    L"  Kestrel.exe /update /all          update every drive the package can update\r\n"
    L"  Kestrel.exe /update /serial S...  update the drives with these serial numbers\r\n"
    L"       /norestart (the default)     leave the restart to you: exit code 3010\r\n"
    L"       /forcerestart                restart when an update needs it: exit code 1641\r\n"
    L"  Kestrel.exe /status [/serial S]   0 when the drives run the package's firmware,\r\n"
    L"                                    3010 when one waits for a restart, 1 otherwise\r\n"
    L"  /log FILE                         also append every log line to FILE\r\n"
    L"No switch shows a window. Exit codes: 0, 3010, 1641, 1618 another copy runs, 1602 on battery,\r\n"
    L"1603 an update failed, 1620 the package is damaged, 87 a bad command line.\r\n";

namespace {

constexpr size_t WORD_CAPACITY = LOG_PATH_CAPACITY;

// The next word by the rules of CommandLineToArgvW: blanks separate words,
// quotes group them, 2n backslashes before a quote are n and the quote
// counts, 2n+1 are n and a quote taken as it is. 0 when no word is left or
// the word does not fit.
int NextWord(const WCHAR** cursor, WCHAR* word, size_t capacity, bool* fits) {
  const WCHAR* p = *cursor;
  while (*p == L' ' || *p == L'\t') ++p;
  if (*p == L'\0') return 0;
  size_t used = 0;
  bool quoted = false;
  *fits = true;
  auto put = [&](WCHAR c) {
    if (used + 1 < capacity) word[used++] = c;
    else *fits = false;
  };
  while (*p != L'\0' && (quoted || (*p != L' ' && *p != L'\t'))) {
    size_t slashes = 0;
    while (p[slashes] == L'\\') ++slashes;
    if (p[slashes] == L'"') {
      for (size_t i = 0; i < slashes / 2; ++i) put(L'\\');
      p += slashes;
      if (slashes % 2 == 1) {
        put(L'"');
      } else if (quoted && p[1] == L'"') {
        put(L'"');  // "" inside quotes: one quote, still quoted
        ++p;
      } else {
        quoted = !quoted;
      }
      ++p;
    } else if (slashes > 0) {
      for (size_t i = 0; i < slashes; ++i) put(L'\\');
      p += slashes;
    } else {
      put(*p++);
    }
  }
  word[used] = L'\0';
  *cursor = p;
  return 1;
}

bool IsSwitch(const WCHAR* word) { return (word[0] == L'/' || word[0] == L'-') && word[1] != L'\0'; }

void TrimInPlace(WCHAR* text) {
  size_t start = 0, length = wcslen(text);
  while (start < length && iswspace(text[start])) ++start;
  while (length > start && iswspace(text[length - 1])) --length;
  memmove(text, text + start, (length - start) * sizeof(WCHAR));
  text[length - start] = L'\0';
}

int Refuse(WCHAR* why, size_t capacity, const WCHAR* format, const WCHAR* word) {
  FormatText(why, capacity, format, word);
  return 0;
}

}  // namespace

int ParseCommandLine(const WCHAR* text, CommandLine* line, WCHAR* why, size_t capacity) {
  ZeroMemory(line, sizeof *line);
  why[0] = L'\0';
  bool help = false, quiet = false, noRestart = false, forceRestart = false, log = false;
  WCHAR word[WORD_CAPACITY], value[WORD_CAPACITY];
  bool fits = true;
  const WCHAR* cursor = text != nullptr ? text : L"";
  while (NextWord(&cursor, word, WORD_CAPACITY, &fits)) {
    if (!fits) return Refuse(why, capacity, L"a word of the command line is too long: %.40s...", word);
    if (!IsSwitch(word)) return Refuse(why, capacity, L"\"%s\" is not a switch", word);
    const WCHAR* name = word + 1;
    INT32 mode = _wcsicmp(name, L"list") == 0     ? MODE_LIST
                 : _wcsicmp(name, L"update") == 0 ? MODE_UPDATE
                 : _wcsicmp(name, L"status") == 0 ? MODE_STATUS
                                                  : MODE_DIALOG;
    if (mode != MODE_DIALOG) {
      if (line->iMode != MODE_DIALOG) return Refuse(why, capacity, L"%s: give only one of /list, /update and /status", word);
      line->iMode = mode;
    } else if (wcscmp(name, L"?") == 0) {
      help = true;
    } else if (_wcsicmp(name, L"all") == 0) {
      line->bAll = TRUE;
    } else if (_wcsicmp(name, L"norestart") == 0) {
      noRestart = true;
    } else if (_wcsicmp(name, L"forcerestart") == 0) {
      forceRestart = true;
    } else if (_wcsicmp(name, L"quiet") == 0) {
      quiet = true;
    } else if (_wcsicmp(name, L"serial") == 0 || _wcsicmp(name, L"log") == 0) {
      bool isLog = _wcsicmp(name, L"log") == 0;
      // A value never looks like a switch: "/log /all" is a missing value.
      if (!NextWord(&cursor, value, WORD_CAPACITY, &fits) || IsSwitch(value))
        return Refuse(why, capacity, L"%s needs a value", word);
      if (!fits) return Refuse(why, capacity, L"the value of %s is too long", word);
      TrimInPlace(value);
      if (value[0] == L'\0') return Refuse(why, capacity, L"%s needs a value", word);
      if (isLog) {
        if (log) return Refuse(why, capacity, L"%s: give one log file", word);
        log = true;
        StringCchCopyW(line->szLogFile, LOG_PATH_CAPACITY, value);
      } else {
        if (line->nSerials == MAX_SERIALS) return Refuse(why, capacity, L"%s: too many serial numbers", word);
        if (wcslen(value) >= DRIVE_TEXT_CAPACITY) return Refuse(why, capacity, L"%s: the serial number is too long", word);
        StringCchCopyW(line->szSerials[line->nSerials++], DRIVE_TEXT_CAPACITY, value);
      }
    } else {
      return Refuse(why, capacity, L"%s is not a switch of this program", word);
    }
  }
  if (help) {
    line->iMode = MODE_HELP;
    return 1;
  }
  bool anySwitch = quiet || log || line->bAll || noRestart || forceRestart || line->nSerials != 0;
  if (line->iMode == MODE_DIALOG) {
    if (anySwitch) return Refuse(why, capacity, L"%ssay what to do: /list, /update or /status", L"");
    return 1;
  }
  if (line->nSerials != 0 && line->iMode == MODE_LIST) return Refuse(why, capacity, L"%s/serial goes with /update or /status", L"");
  if (line->iMode != MODE_UPDATE && (line->bAll || noRestart || forceRestart))
    return Refuse(why, capacity, L"%s/all, /norestart and /forcerestart go with /update", L"");
  if (noRestart && forceRestart) return Refuse(why, capacity, L"%sgive /norestart or /forcerestart, not both", L"");
  if (line->iMode == MODE_UPDATE && line->bAll == (line->nSerials != 0))
    return Refuse(why, capacity, L"%s/update needs /all or the drives' /serial numbers, not both", L"");
  line->bForceRestart = forceRestart ? TRUE : FALSE;
  return 1;
}

int WorseExit(int a, int b) {
  auto rank = [](int code) {
    switch (code) {
      case EXIT_PACKAGE_DAMAGED:
        return 5;
      case EXIT_FAILED:
        return 4;
      case EXIT_ON_BATTERY:
        return 3;
      case EXIT_RESTART_STARTED:
        return 2;
      case EXIT_RESTART_NEEDED:
        return 1;
      default:
        return 0;
    }
  };
  return rank(b) > rank(a) ? b : a;
}
