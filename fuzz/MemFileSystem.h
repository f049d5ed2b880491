// A file system in memory for the fuzz targets: files are byte strings under their path texts,
// with no directories, so that any path the program forms can be created and looked at.
#ifndef DORNVIK_FUZZ_MEMFILESYSTEM_H_
#define DORNVIK_FUZZ_MEMFILESYSTEM_H_

#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "FileSys.h"

class MemFileSystem : public FileSystem {
 public:
  // Path -> content. A file that is removed while open keeps its content for that handle.
  std::map<std::string, std::shared_ptr<std::string>> files;

  void Put(const std::string& path, const std::string& bytes) {
    files[path] = std::make_shared<std::string>(bytes);
  }
  const std::string* Get(const std::string& path) const {
    auto it = files.find(path);
    return it == files.end() ? nullptr : it->second.get();
  }

  std::unique_ptr<File> OpenRead(const char* path) override {
    auto it = files.find(path);
    if (it == files.end()) return nullptr;
    return std::make_unique<MemFile>(it->second);
  }
  std::unique_ptr<File> OpenAppend(const char* path) override {
    std::shared_ptr<std::string>& content = files[path];
    if (!content) content = std::make_shared<std::string>();
    return std::make_unique<MemFile>(content);
  }
  bool RenameNoReplace(const char* from, const char* to) override {
    auto it = files.find(from);
    if (it == files.end() || files.count(to) != 0) return false;
    std::shared_ptr<std::string> content = it->second;
    files.erase(it);
    files[to] = content;
    return true;
  }
  bool Remove(const char* path) override { return files.erase(path) == 1; }

 private:
  class MemFile : public File {
   public:
    explicit MemFile(std::shared_ptr<std::string> content) : content_(std::move(content)) {}
    bool Read(char* buffer, std::size_t n, std::size_t* got) override {
      *got = 0;
      if (closed_) return false;
      std::size_t left = content_->size() - pos_;
      *got = n < left ? n : left;
      if (*got > 0) std::memcpy(buffer, content_->data() + pos_, *got);
      pos_ += *got;
      return true;
    }
    bool Write(const char* data, std::size_t n) override {
      if (closed_) return false;
      content_->append(data, n);
      return true;
    }
    bool Flush() override { return !closed_; }
    bool Sync() override { return !closed_; }
    bool Size(std::uint64_t* size) override {
      if (closed_) return false;
      *size = content_->size();
      return true;
    }
    bool Truncate(std::uint64_t size) override {
      if (closed_) return false;
      if (size < content_->size()) content_->resize(static_cast<std::size_t>(size));
      return true;
    }
    bool LockExclusive() override { return !closed_; }
    bool Close() override {
      bool was = !closed_;
      closed_ = true;
      return was;
    }

   private:
    std::shared_ptr<std::string> content_;
    std::size_t pos_ = 0;
    bool closed_ = false;
  };
};

#endif  // DORNVIK_FUZZ_MEMFILESYSTEM_H_
