// The block cache over a local mock image, driven through its own routines without the
// target's threads, so that every counter and slot moves only by what a test does.
#pragma once

#include <cstdint>
#include <string>

struct image;

// Connects in mock mode, opens the image at path for a disk of size bytes and makes the
// cache, as the start does. False (with the library's message printed) on failure.
bool open_mock_cache(const std::string& path, uint64_t size);
// The final write-back, then closes the image and disconnects. Returns what bc_destroy does:
// the number of dirty chunks that could not be written back.
uint32_t close_mock_cache();

// The image these helpers opened and handed the cache.
image& mock_cache_image();

// Puts a write-only descriptor on the same file in place of every one this process holds on
// the mock image at path (the cache tests' own or the library's): every load fails as an I/O
// error would, while write-backs still work. Safe while other threads use the cache. False
// when it could not.
bool make_mock_image_unreadable(const std::string& path);
// Puts a descriptor for reading and writing back in place.
bool make_mock_image_readable(const std::string& path);
