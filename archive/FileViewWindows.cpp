#include <windows.h>

#include <cerrno>
#include <cstring>

#include "archive/FileView.h"

FileView::FileView(const SystemFile& file, int64_t size, bool map) : file(file), size_(size) {
  if (!map || size <= 0) return;
  HANDLE m = CreateFileMappingW(reinterpret_cast<HANDLE>(file.nativeHandle()), nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (m == nullptr) return;  // read instead
  void* p = MapViewOfFile(m, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size));
  if (p == nullptr) {
    CloseHandle(m);
    return;
  }
  mapping = reinterpret_cast<intptr_t>(m);
  base = static_cast<const char*>(p);
}

FileView::~FileView() {
  if (base != nullptr) UnmapViewOfFile(base);
  if (mapping != -1) CloseHandle(reinterpret_cast<HANDLE>(mapping));
}

void reportShrunkenMappings(const char*) {}  // a mapped file cannot be made shorter on Windows
