// The session's thumbnail cache: finished cell Pictures kept across rescans, directory changes
// and visits to the view, keyed by the file's identity and the cell size, least recently used
// evicted first once they take more than thumb_cache_bytes. Thumbnails decoded ahead (for a
// page not yet shown) go first. Nothing is written to disk.
#include <sys/stat.h>

#include <iterator>
#include <list>
#include <map>

#include "browser/browser.h"
#include "xsupport/xsupport.h"

namespace {

struct Entry {
  Picture* picture = nullptr;
  std::size_t bytes = 0;
  bool ahead = false;  // decoded ahead and not shown yet
  std::list<ThumbKey>::iterator use;
};

std::map<ThumbKey, Entry> entries;
std::list<ThumbKey> uses;  // least recently used first
std::size_t cached_bytes = 0;

std::size_t picture_bytes(const Picture* picture) {
  return static_cast<std::size_t>(picture->width * picture->height * picture->depth / 8);
}

void erase(std::map<ThumbKey, Entry>::iterator at) {
  cached_bytes -= at->second.bytes;
  x_FreePicture(at->second.picture);
  uses.erase(at->second.use);
  entries.erase(at);
}

// The oldest entry decoded ahead, else the least recently used one; never kept.
std::map<ThumbKey, Entry>::iterator victim(const ThumbKey& kept) {
  for (const ThumbKey& key : uses) {
    if (key == kept) continue;
    auto at = entries.find(key);
    if (at->second.ahead) return at;
  }
  return entries.find(uses.front() == kept ? *std::next(uses.begin()) : uses.front());
}

}  // namespace

bool thumb_key(const char* path, const char* selector, std::uint32_t cell_width,
               std::uint32_t cell_height, ThumbKey& key) {
  struct stat info {};
  if (stat(path, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  key = ThumbKey{static_cast<std::uint64_t>(info.st_dev),
                 static_cast<std::uint64_t>(info.st_ino),
                 static_cast<std::int64_t>(info.st_size),
                 static_cast<std::int64_t>(info.st_mtim.tv_sec),
                 static_cast<std::int64_t>(info.st_mtim.tv_nsec),
                 selector ? selector : "",
                 cell_width,
                 cell_height};
  return true;
}

Picture* find_thumb(const ThumbKey& key) {
  const auto at = entries.find(key);
  if (at == entries.end()) return nullptr;
  uses.splice(uses.end(), uses, at->second.use);
  at->second.ahead = false;
  return at->second.picture;
}

void keep_thumb(const ThumbKey& key, Picture* picture, bool ahead) {
  if (const auto old = entries.find(key); old != entries.end()) erase(old);
  const std::size_t bytes = picture_bytes(picture);
  uses.push_back(key);
  entries[key] = Entry{picture, bytes, ahead, std::prev(uses.end())};
  cached_bytes += bytes;
  while (cached_bytes > thumb_cache_bytes && entries.size() > 1)
    erase(victim(key));
}

std::size_t thumb_cache_used() {
  return cached_bytes;
}

void clear_thumb_cache() {
  while (!entries.empty())
    erase(entries.begin());
}
