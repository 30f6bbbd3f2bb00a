// The key handler: Ctrl+x and a key run the user's program on the marked files. It runs beside
// the program, never waited for: its pidfd is watched by the event waits, and its end comes as
// an event, after which the caller reads the files again.
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "filelist/marks.h"
#include "main/state.h"
#include "xsupport/xsupport.h"

extern char** environ;

namespace {

constexpr char running_note[] = "[key handler running]";
constexpr std::size_t key_text_size = 32;

bool prefix_pending = false;
int running = -1;  // the running handler's pidfd

// The handler's standard input: the paths, each ended by a newline (with -0 a NUL byte). Without
// -0 a name holding a newline would read as two, so it is left out.
std::string handler_input(const std::vector<std::string>& paths) {
  const char end = state.null_separated ? '\0' : '\n';
  std::string input;
  for (const std::string& path : paths) {
    if (end == '\n' && path.find('\n') != std::string::npos) {
      std::fprintf(stderr, "pictra: passed to the key handler only with -0: %s\n", path.c_str());
      continue;
    }
    input += path;
    input += end;
  }
  return input;
}

// A file holding input, read from its start; -1 when none can be made.
int input_file(const std::string& input) {
  const int fd = memfd_create("pictra-key-handler", MFD_CLOEXEC);
  if (fd < 0) return -1;
  for (std::size_t done = 0; done < input.size();) {
    const ssize_t wrote = write(fd, input.data() + done, input.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      close(fd);
      return -1;
    }
    done += static_cast<std::size_t>(wrote);
  }
  lseek(fd, 0, SEEK_SET);
  return fd;
}

// The handler starts as a program of its own would: with the default signal dispositions and
// nothing blocked (the program ignores SIGPIPE), input on its standard input, no other of the
// program's descriptors beyond the standard three.
pid_t spawn(const std::string& program, const std::string& key, int input) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  std::string name = program, argument = key;
  char* argv[] = {name.data(), argument.data(), nullptr};
  pid_t pid = -1;
  const int error = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    std::fprintf(stderr, "pictra: %s: %s\n", program.c_str(), std::strerror(error));
    return -1;
  }
  return pid;
}

bool executable(const std::string& path) {
  struct stat info {};
  return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         access(path.c_str(), X_OK) == 0;
}

void run_handler(const std::string& key, const std::string& current) {
  const std::string& program = state.key_handler_path;
  if (!executable(program)) {
    std::fprintf(stderr, "pictra: no key handler at %s\n", program.c_str());
    return;
  }
  std::vector<std::string> paths = marked_paths(state.top);
  if (paths.empty() && !current.empty()) paths.push_back(absolute_path(current));
  const std::string input = handler_input(paths);
  if (input.empty()) return;
  const int fd = input_file(input);
  if (fd < 0) {
    std::fprintf(stderr, "pictra: no input for the key handler: %s\n", std::strerror(errno));
    return;
  }
  const pid_t pid = spawn(program, key, fd);
  close(fd);
  if (pid < 0) return;
  // The C library of the day declares pidfd_open without C linkage: the call goes direct.
  running = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (running < 0) {
    // Its end cannot be seen: it runs on, and nothing is read again after it.
    std::fprintf(stderr, "pictra: cannot watch the key handler: %s\n", std::strerror(errno));
    return;
  }
  x_WatchChild(running);
  x_SetTitleNote(running_note);
}

}  // namespace

std::string handler_key_name(XKeyEvent& key) {
  XKeyEvent plain = key;
  plain.state &= ~static_cast<unsigned>(LockMask);
  KeySym typed = NoSymbol;
  char text[key_text_size];
  XLookupString(&plain, text, sizeof text, &typed, nullptr);
  std::string name;
  if (key.state & ControlMask) name += "C-";
  if (key.state & Mod1Mask) name += "M-";
  if (key.state & ShiftMask) {
    XKeyEvent unshifted = plain;
    unshifted.state &= ~static_cast<unsigned>(ShiftMask);
    KeySym base = NoSymbol;
    XLookupString(&unshifted, text, sizeof text, &base, nullptr);
    if (base == typed) name += "S-";
  }
  const char* symbol = XKeysymToString(typed);
  name += symbol ? symbol : "NoSymbol";
  return name;
}

bool take_handler_key(XKeyEvent& key, const std::string& current) {
  KeySym keysym = NoSymbol;
  char text[key_text_size];
  XLookupString(&key, text, sizeof text, &keysym, nullptr);
  if (IsModifierKey(keysym)) return prefix_pending;
  if (prefix_pending) {
    prefix_pending = false;
    if (keysym != XK_Escape) run_handler(handler_key_name(key), current);
    return true;
  }
  if (!(key.state & ControlMask) || (keysym != XK_x && keysym != XK_X)) return false;
  if (running >= 0) {
    std::fputs("pictra: the key handler is still running\n", stderr);
  } else {
    prefix_pending = true;
  }
  return true;
}

bool handler_ended(const XEvent& event) {
  if (!x_ChildEnded(event) || running < 0) return false;
  siginfo_t info{};
  const int waited = waitid(P_PIDFD, static_cast<id_t>(running), &info, WEXITED);
  close(running);
  running = -1;
  x_SetTitleNote("");
  if (waited != 0) return true;
  if (info.si_code == CLD_EXITED && info.si_status != 0) {
    std::fprintf(stderr, "pictra: key handler exited with status %d\n", info.si_status);
  } else if (info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED) {
    std::fprintf(stderr, "pictra: key handler ended by signal %d\n", info.si_status);
  }
  return true;
}
