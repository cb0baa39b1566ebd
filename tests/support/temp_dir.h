// Temporary directories and image files for the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A fresh directory, removed with everything in it when the owner goes.
class scoped_dir {
  public:
    explicit scoped_dir(const std::string& parent = "/tmp");
    ~scoped_dir();
    scoped_dir(const scoped_dir&) = delete;
    scoped_dir& operator=(const scoped_dir&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// A small tmpfs on a fresh directory (root only): a file system that really runs out of
// space, so that image writes fail as they would on a full disk. Unmounted when the owner goes.
class tmpfs_dir {
  public:
    explicit tmpfs_dir(uint64_t bytes);
    ~tmpfs_dir();
    tmpfs_dir(const tmpfs_dir&) = delete;
    tmpfs_dir& operator=(const tmpfs_dir&) = delete;

    bool ok() const { return mounted_; }
    const std::string& path() const { return dir_.path(); }
    std::string file(const std::string& name) const { return dir_.file(name); }
    // Takes every free byte with a filler file; true when the file system is then full.
    bool fill();
    // Removes the filler again.
    void unfill();

  private:
    scoped_dir dir_;
    bool mounted_ = false;
};

// Byte k of a test image with the given seed: varies within and between chunks, so a chunk
// read at the wrong offset or a byte moved within a chunk shows.
uint8_t pattern_byte(uint64_t k, uint32_t seed);
std::vector<uint8_t> pattern(uint64_t offset, std::size_t len, uint32_t seed);

// Whole-file helpers on local paths; failures give false, -1 or an empty vector.
bool create_sparse_file(const std::string& path, uint64_t size); // truncate to size
bool write_at(const std::string& path, uint64_t offset, const std::vector<uint8_t>& data);
std::vector<uint8_t> read_at(const std::string& path, uint64_t offset, std::size_t len);
int64_t size_of(const std::string& path);
// Writes an executable /bin/sh script.
void write_program(const std::string& path, const std::string& body);
std::string read_text(const std::string& path);
std::vector<std::string> read_lines(const std::string& path);
