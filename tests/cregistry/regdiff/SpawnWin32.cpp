#include <windows.h>

#include <string>

#include "tests/cregistry/regdiff/Spawn.h"

namespace {

std::wstring Wide(const std::string& text) {
  std::wstring out(text.size() + 1, L'\0');
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                              static_cast<int>(out.size()));
  out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return out;
}

// The quoting that CommandLineToArgvW and the C runtime undo.
void AppendQuoted(std::wstring& line, const std::wstring& arg) {
  line += L" \"";
  std::size_t backslashes = 0;
  for (wchar_t ch : arg) {
    if (ch == L'\\') {
      ++backslashes;
      continue;
    }
    line.append(ch == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    line += ch;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

struct TempOutput {
  HANDLE file = INVALID_HANDLE_VALUE;
  TempOutput() {
    wchar_t dir[MAX_PATH], name[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    GetTempFileNameW(dir, L"rgd", 0, name);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    file = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  }
  ~TempOutput() {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
  std::string Read() const {
    std::string text;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    return text;
  }
};

}  // namespace

std::string ScratchStore(std::size_t) { return ""; }
void DropScratchStore(const std::string&) {}

Output RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string&) {
  Output result;
  std::wstring line = L"\"" + Wide(program) + L"\"";
  for (const auto& a : args) AppendQuoted(line, Wide(a));
  TempOutput out, err;
  STARTUPINFOW start{};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
  start.hStdInput = input;
  start.hStdOutput = out.file;
  start.hStdError = err.file;
  PROCESS_INFORMATION process{};
  const bool started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &process);
  if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
  if (!started) return result;
  // A program that waits for an answer on its input (a question it should not ask) is stopped.
  if (WaitForSingleObject(process.hProcess, 60000) == WAIT_TIMEOUT) TerminateProcess(process.hProcess, 124);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  result.status = static_cast<int>(code);
  result.out = out.Read();
  result.err = err.Read();
  return result;
}
