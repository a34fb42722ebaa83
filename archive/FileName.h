// Names of files to be created from an archive's file list.
#pragma once

// True when creating `name` could reach outside the current directory: the
// name is absolute or has a ".." component.
bool leavesCurrentDirectory(const char* name);
