// An in-memory file store for tests: a map of path to contents plus the origin marks, with knobs
// that make each step fail. Paths use '/' as separator. Partial files live in the same map under
// their temporary paths while they exist, so a test sees exactly what a crash would leave behind.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tools/file_store.h"

namespace ov {

class FakeFileStore final : public FileStore {
 public:
  struct Knobs {
    bool failOpen = false;
    // A source that pretends to be larger than its contents (the sparse-file case): its size.
    std::uint64_t reportedSize = 0;
    // Reading fails after this many bytes (the source shrank or the disk failed).
    std::uint64_t readLimit = UINT64_MAX;
    bool failCreate = false;
    std::uint64_t writeLimit = UINT64_MAX;  // total bytes a partial file takes
    bool failFlush = false;
    OriginMark originResult = OriginMark::Written;
    // The file system says up front that it cannot hold the origin mark (FAT32, exFAT).
    bool noOriginSupport = false;
    bool failCommit = false;
    // Something appears at this path right before Commit (a race with another program).
    std::u16string appearBeforeCommit;
  };

  Knobs knobs;
  std::map<std::u16string, std::vector<std::uint8_t>> files;
  std::map<std::u16string, std::string> origins;
  std::set<std::u16string> open;  // partial files that a PartialFile holds now

  bool Has(const std::u16string& path) const { return files.count(path) != 0; }

  std::unique_ptr<SourceFile> OpenSource(const std::u16string& path) override {
    const auto it = files.find(path);
    if (knobs.failOpen || it == files.end()) return nullptr;
    const std::uint64_t size = knobs.reportedSize != 0 ? knobs.reportedSize : it->second.size();
    return std::make_unique<Source>(it->second, size, knobs);
  }
  bool Exists(const std::u16string& path) override { return Has(path); }
  std::vector<std::u16string> ListFiles(const std::u16string& folder) override {
    std::vector<std::u16string> names;
    const std::u16string prefix = folder + u"/";
    for (const auto& [path, bytes] : files) {
      if (path.rfind(prefix, 0) == 0 && path.find(u'/', prefix.size()) == std::u16string::npos) {
        names.push_back(path.substr(prefix.size()));
      }
    }
    return names;
  }
  bool DeleteAbandoned(const std::u16string& path) override {
    if (open.count(path) != 0 || files.erase(path) == 0) return false;
    origins.erase(path);
    return true;
  }
  std::unique_ptr<PartialFile> CreatePartial(const std::u16string& path) override {
    if (knobs.failCreate || Has(path)) return nullptr;
    files[path];
    open.insert(path);
    return std::make_unique<Partial>(*this, path);
  }
  char16_t PathSeparator() const override { return u'/'; }

 private:
  class Source final : public SourceFile {
   public:
    // The knobs are read at each read, so a test can make a source fail mid-way.
    Source(std::vector<std::uint8_t> data, std::uint64_t size, const Knobs& knobs)
        : data_(std::move(data)), size_(size), knobs_(knobs) {}
    std::uint64_t size() const override { return size_; }
    bool ReadExact(std::uint8_t* out, std::size_t size) override {
      if (position_ + size > std::min<std::uint64_t>(data_.size(), knobs_.readLimit)) return false;
      std::memcpy(out, data_.data() + position_, size);
      position_ += size;
      return true;
    }

   private:
    std::vector<std::uint8_t> data_;
    std::uint64_t size_;
    const Knobs& knobs_;
    std::uint64_t position_ = 0;
  };

  class Partial final : public PartialFile {
   public:
    Partial(FakeFileStore& store, std::u16string path)
        : PartialFile(std::move(path)), store_(store) {}
    ~Partial() override {
      store_.open.erase(path());
      if (!committed_) {
        store_.files.erase(path());
        store_.origins.erase(path());
      }
    }
    bool CanMarkOrigin() override { return !store_.knobs.noOriginSupport; }
    bool Write(const std::uint8_t* data, std::size_t size) override {
      std::vector<std::uint8_t>& file = store_.files.at(path());
      if (flushed_ || file.size() + size > store_.knobs.writeLimit) return false;
      file.insert(file.end(), data, data + size);
      return true;
    }
    bool Flush() override {
      flushed_ = true;
      return !store_.knobs.failFlush;
    }
    OriginMark MarkOrigin(std::string_view originUrl) override {
      if (store_.knobs.originResult == OriginMark::Written) {
        store_.origins[path()] = std::string(originUrl);
      }
      return store_.knobs.originResult;
    }
    bool Commit(const std::u16string& destination) override {
      if (!store_.knobs.appearBeforeCommit.empty()) store_.files[store_.knobs.appearBeforeCommit];
      if (store_.knobs.failCommit || store_.Has(destination)) return false;
      store_.files[destination] = std::move(store_.files.at(path()));
      store_.files.erase(path());
      store_.open.erase(path());
      if (store_.origins.count(path()) != 0) {
        store_.origins[destination] = store_.origins[path()];
        store_.origins.erase(path());
      }
      committed_ = true;
      return true;
    }

   private:
    FakeFileStore& store_;
    bool flushed_ = false;
    bool committed_ = false;
  };
};

}  // namespace ov
