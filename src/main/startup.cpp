// Start-up, the choice between browsing, viewing one image and viewing a list, and shutdown.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "browser/browser.h"
#include "config/config.h"
#include "filelist/filelist.h"
#include "filelist/marks.h"
#include "formats/formats.h"
#include "formats/pool.h"
#include "main/command_line.h"
#include "main/startup.h"
#include "main/state.h"
#include "viewer/viewer.h"
#include "xsupport/xsupport.h"

namespace {

constexpr int fatal_status = -1;
constexpr int failure_status = 1;
constexpr unsigned char initial_thumbsize = 2;
constexpr char config_name[] = "/.pictrarc";
constexpr char key_handler_name[] = "/pictra/key-handler";

// The home directory: HOME, or when it is unset the password database. Null when neither
// names one; the program then runs without a configuration file.
const char* home_directory() {
  if (const char* home = std::getenv("HOME")) return home;
  const passwd* entry = getpwuid(getuid());
  return entry && entry->pw_dir && *entry->pw_dir ? entry->pw_dir : nullptr;
}

// An empty config_path tells load_config and save_geometry that there is no file to use.
void build_config_path() {
  const char* home = home_directory();
  state.config_path = home ? std::string(home) + config_name : std::string();
  const char* config_home = std::getenv("XDG_CONFIG_HOME");
  if (config_home && *config_home) {
    state.key_handler_path = std::string(config_home) + key_handler_name;
  } else if (home) {
    state.key_handler_path = std::string(home) + "/.config" + key_handler_name;
  }
}

std::string working_directory() {
  char* path = getcwd(nullptr, 0);
  std::string directory = path ? path : "";
  std::free(path);
  return directory;
}

// -o: the marked files, relative to start when they lie under it.
void print_marks(const std::string& start) {
  const std::string under = start.ends_with('/') ? start : start + "/";
  const char end = state.null_separated ? '\0' : '\n';
  for (const std::string& path : marked_paths(state.top)) {
    const std::string shown =
        !start.empty() && path.starts_with(under) ? path.substr(under.size()) : path;
    std::fwrite(shown.data(), 1, shown.size(), stdout);
    std::fputc(end, stdout);
  }
  std::fflush(stdout);
}

// The cleanup of every ending, a signal's included: the geometry waiting for its quiet second
// is written before the display goes.
void end_session(int sig) {
  flush_config();
  x_Cleanup(sig);
}

// The image node of the list named name, or none.
const FileNode* find_image(const char* name) {
  for (const FileNode* node = state.top; node; node = node->nextfile)
    if (!node->directory && node->name == name) return node;
  return nullptr;
}

// The count-th image of the list (from 1), or its last image when it has fewer; none without
// images.
const FileNode* counted_image(std::uint32_t count) {
  const FileNode* found = nullptr;
  for (const FileNode* node = state.top; node && count > 0; node = node->nextfile) {
    if (node->directory) continue;
    found = node;
    --count;
  }
  return found;
}

const FileNode* image_or_none(const FileNode* node) {
  return node && !node->directory ? node : nullptr;
}

ViewEntry entry_of(const FileNode* node) {
  return node ? ViewEntry{node->name, ""} : ViewEntry{};
}

// The list read again after the key handler: the image named name, else the image now in its
// place or the nearest one before it; none without images.
const FileNode* reread_image(const std::string& name, std::uint32_t position) {
  const FileNode* node = reread_files(name, position);
  const FileNode* after = node;
  while (after && after->directory)
    after = after->nextfile;
  if (after) return after;
  while (node && node->directory)
    node = node->prevfile;
  return node;
}

// The marked image after node (forward) or before it; none when there is none.
const FileNode* marked_after(const FileNode* node, bool forward) {
  for (node = forward ? node->nextfile : node->prevfile; node;
       node = forward ? node->nextfile : node->prevfile) {
    if (is_marked(node)) return node;
  }
  return nullptr;
}

// Shows node (with selector) and steps through the images around it in the list, in list
// order; the keys that leave the view end the program. False when an image cannot be shown.
bool view_list(const FileNode* node, const char* selector) {
  ViewEntry shown{node->name, selector};
  for (;;) {
    const FileNode* previous = image_or_none(node->prevfile);
    const FileNode* next = image_or_none(node->nextfile);
    const ImagePlace place = image_place(node);
    const int result = view_image(
        shown, entry_of(previous), entry_of(next),
        {place.position, place.count, entry_of(place.first), entry_of(place.after_next)});
    if (result == view_failed) return false;
    if (result == view_left) return true;
    if (result == view_reread) {
      const std::string name = node->name;
      node = reread_image(name, list_position(node));
      if (node == nullptr) return true;
      if (node->name != name) shown = entry_of(node);
      continue;
    }
    const FileNode* step = result == view_previous ? previous
                           : result == view_first  ? place.first
                                                   : next;
    if (result == view_next_mark || result == view_previous_mark)
      step = marked_after(node, result == view_next_mark);
    if (step) {
      node = step;
      shown = entry_of(node);
    }
  }
}

// Makes file's directory the current one, so that the list and the title name its files as
// they are named there; answers file's name in it.
std::string enter_directory_of(const char* file) {
  std::string name = file;
  if (const auto slash = name.rfind('/'); slash != std::string::npos) {
    const std::string directory = slash == 0 ? "/" : name.substr(0, slash);
    if (chdir(directory.c_str()) == 0) name = name.substr(slash + 1);
  }
  return name;
}

// `pictra FILE [SELECTOR]`: shows FILE, or the start-th image of its directory, and steps
// through the images of the directory. False when an image cannot be shown.
bool view_from_command_line(const char* file, const char* selector, std::uint32_t start) {
  const std::string name = enter_directory_of(file);
  scan_dir();
  if (start > 0) {
    const FileNode* node = counted_image(start);
    return node && view_list(node, "");
  }
  const FileNode* node = find_image(name.c_str());
  if (node == nullptr) {
    // Not in the list (a name the scan leaves out): shown alone, every key ends.
    int result = view_failed;
    do {
      result = view_image({name, selector}, {}, {});
    } while (result == view_reread);
    return result != view_failed;
  }
  return view_list(node, selector);
}

// The grid of the list with node selected (none: the first entry).
void browse_at(const FileNode* node) {
  std::uint32_t position = 0;
  for (const FileNode* at = state.top; node && at && at != node; at = at->nextfile)
    ++position;
  select_position(position);
  browse(state.container);
}

// Reads names from standard input, each ended by separator (the last may end the input
// instead); empty names are skipped.
void read_names(char separator, std::vector<std::string>& names) {
  std::string pending;
  std::vector<char> buffer(std::size_t{1} << 16);
  for (;;) {
    const ssize_t got = read(STDIN_FILENO, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) std::fprintf(stderr, "pictra: standard input: %s\n", std::strerror(errno));
    if (got <= 0) break;
    const char* at = buffer.data();
    const char* end = at + got;
    while (const void* found = std::memchr(at, separator, static_cast<std::size_t>(end - at))) {
      const char* stop = static_cast<const char*>(found);
      pending.append(at, stop);
      if (!pending.empty()) names.push_back(std::move(pending));
      pending.clear();
      at = stop + 1;
    }
    pending.append(at, end);
  }
  if (!pending.empty()) names.push_back(std::move(pending));
}

// The list of the names, built on a thread of its own: a walk through a large tree or a long
// list on standard input takes about as long as opening the window and drawing the first
// image, so the view starts on the first images as soon as they are known and takes the whole
// list once it is needed. The thread touches no program state; the first images and the list
// are handed over through futures.
class ListBuild {
 public:
  ListBuild(std::vector<std::string> names, bool recursive, std::uint32_t start)
      : early_count_(std::size_t{std::max<std::uint32_t>(start, 1)} + 1) {
    thread_ = std::jthread([this, names = std::move(names), recursive,
                            order = state.sort](std::stop_token stop) mutable {
      const NamedList request{
          recursive, order, early_count_,
          [this](const std::vector<std::string>& first) { first_promise_.set_value(first); }, stop};
      list_promise_.set_value(list_named(std::move(names), request));
    });
  }
  ~ListBuild() {
    thread_.request_stop();
    thread_.join();
    if (!list_taken_) {
      FileNode* list = list_.get();
      clear_files(list);
    }
  }
  ListBuild(const ListBuild&) = delete;
  ListBuild& operator=(const ListBuild&) = delete;

  // The paths of the first images, up to the one to start at and the one after it.
  const std::vector<std::string>& first() {
    if (!first_.valid()) return first_paths_;
    first_paths_ = first_.get();
    return first_paths_;
  }
  // The whole list, once it is built; for the caller to keep.
  FileNode* take_list() {
    list_taken_ = true;
    return list_.get();
  }

 private:
  std::size_t early_count_;
  std::promise<std::vector<std::string>> first_promise_;
  std::promise<FileNode*> list_promise_;
  std::future<std::vector<std::string>> first_ = first_promise_.get_future();
  std::future<FileNode*> list_ = list_promise_.get_future();
  std::vector<std::string> first_paths_;
  bool list_taken_ = false;
  std::jthread thread_;  // last: it starts once everything it uses is there
};

ViewEntry path_entry(const std::vector<std::string>& paths, std::size_t index) {
  return index < paths.size() ? ViewEntry{paths[index], ""} : ViewEntry{};
}

// The list form's view: the start-th image (counted from 1, the last when there are fewer) is
// shown as soon as the build knows it; the first step waits for the whole list.
bool view_building(ListBuild& build, std::uint32_t start) {
  const std::vector<std::string>& first = build.first();
  const std::size_t at = std::min<std::size_t>(std::max<std::uint32_t>(start, 1), first.size()) - 1;
  const int result =
      view_image(path_entry(first, at), at > 0 ? path_entry(first, at - 1) : ViewEntry{},
                 path_entry(first, at + 1));
  if (result == view_failed) return false;
  if (result == view_left) return true;
  state.top = build.take_list();
  const FileNode* node = file_node_at(state.top, static_cast<std::uint32_t>(at));
  if (result == view_reread) {
    node = reread_image(node->name, static_cast<std::uint32_t>(at));
    return node == nullptr || view_list(node, "");
  }
  const FileNode* step = result == view_previous ? node->prevfile : node->nextfile;
  return view_list(step ? step : node, "");
}

// What the command line asks to show.
enum class Form {
  browse,         // the current directory's grid (after entering the one directory named)
  file,           // one file, stepping through its directory
  file_selector,  // one sub-image of a multi-image file, stepping through its directory
  list,           // the list of the names
  nothing,        // every name was refused
};

// Whether the two names are FILE SELECTOR: a multi-image file and something that is no path.
bool is_file_selector(const std::vector<std::string>& names) {
  struct stat info {};
  return names.size() == 2 && lstat(names[1].c_str(), &info) != 0 &&
         list_image_pages(names[0].c_str()).size() > 1;
}

Form form_of(const Operands& operands, const std::vector<std::string>& names) {
  if (operands.read_names) return Form::list;
  if (names.empty()) return Form::browse;
  if (is_file_selector(names)) return Form::file_selector;
  if (names.size() > 1) return Form::list;
  struct stat info {};
  if (!usable_name(names[0], info)) return Form::nothing;
  if (!S_ISDIR(info.st_mode)) return Form::file;
  if (operands.recursive) return Form::list;
  // Browsing it is browsing in it: the title, the way to its parent and every rescan.
  if (chdir(names[0].c_str()) != 0) {
    std::fprintf(stderr, "pictra: %s: %s\n", names[0].c_str(), std::strerror(errno));
    return Form::nothing;
  }
  return Form::browse;
}

// Shows what form asks for; false when it failed to.
bool show(Form form, const Operands& operands, const std::vector<std::string>& names,
          ListBuild* build) {
  switch (form) {
    case Form::browse:
      scan_dir();
      browse_at(operands.start > 0 ? counted_image(operands.start) : nullptr);
      return true;
    case Form::file:
      if (!operands.grid) return view_from_command_line(names[0].c_str(), "", operands.start);
      {
        const std::string name = enter_directory_of(names[0].c_str());
        scan_dir();
        browse_at(operands.start > 0 ? counted_image(operands.start) : find_image(name.c_str()));
      }
      return true;
    case Form::file_selector:
      return view_from_command_line(names[0].c_str(), names[1].c_str(), 0);
    case Form::list:
      if (build) return view_building(*build, operands.start);
      browse_at(counted_image(std::max<std::uint32_t>(operands.start, 1)));
      return true;
    case Form::nothing:
      break;
  }
  return false;
}

void reset_browsing_state() {
  state.selected = 0;
  state.container.clear();
  state.thumbsize = initial_thumbsize;
  state.interrupted = 0;
  state.event_pending = 0;
}

}  // namespace

int pictra_main(int argc, char** argv) {
  Operands operands;
  const int status = read_command_line(argc, argv, operands);
  if (status != keep_running) return status;
  build_config_path();
  init_formats();
  state.sort = operands.sort;
  state.null_separated = operands.null_separated;
  const std::string start_directory = working_directory();

  // The names are read and looked at before a window opens: one that is refused is reported
  // at once, and with nothing to show no window opens.
  std::vector<std::string> names(operands.names.begin(), operands.names.end());
  if (operands.read_names) read_names(operands.null_separated ? '\0' : '\n', names);
  Form form = form_of(operands, names);
  // The grid shows the whole list at once; the view starts before the list is complete.
  std::optional<ListBuild> build;
  if (form == Form::list && operands.grid) {
    NamedList request;
    request.recursive = operands.recursive;
    request.order = state.sort;
    state.top = list_named(std::move(names), request);
    state.named_list = true;
    if (state.top == nullptr) form = Form::nothing;
  } else if (form == Form::list) {
    build.emplace(std::move(names), operands.recursive, operands.start);
    if (build->first().empty()) form = Form::nothing;
  }
  if (form == Form::nothing) {
    std::fputs("pictra: no images to show\n", stderr);
    return failure_status;
  }
  if (!std::getenv("DISPLAY")) {
    std::puts("Cannot connect to X-Server.");
    std::puts("And it's not compiled for framebuffer or glide.");
    return fatal_status;
  }
  x_Init(nullptr);
  set_display_profile(x_DisplayProfile());
  state.cleanup = end_session;
  x_InstallSignals();
  load_config();
  x_OpenWindow();
  reset_browsing_state();
  DecodePool pool(DecodePool::default_threads());
  state.pool = &pool;
  start_thumbnails();
  start_view();
  if (operands.slideshow) start_slideshow();

  // No name (also an empty argument vector, without even a program name) browses.
  const bool shown = show(form, operands, names, build ? &*build : nullptr);
  if (!shown) std::puts("Error while displaying image.");
  leave_view();
  if (operands.print_marks) print_marks(start_directory);

  build.reset();
  clear_files(state.top);
  clear_thumb_cache();
  void (*cleanup)(int) = state.cleanup;
  state.cleanup = nullptr;  // a signal from here on must not run it again
  if (cleanup) cleanup(0);
  x_EndIfSignalled();  // a signal that came during shutdown still ends the process by it
  state.pool = nullptr;
  return shown ? 0 : failure_status;
}
