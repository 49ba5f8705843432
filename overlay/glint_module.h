// Process-wide state of Glint.dll: its module handle, the count of live
// COM objects that keeps it loaded, and the folder table behind every
// membership test.
#pragma once

#include <windows.h>

namespace Glint {

class CSyncFolderTable;

HMODULE ModuleHandle();

// Interlocked, because factories and objects of every apartment share it.
void ObjectCreated();
void ObjectDestroyed();

// Null only if the table could not be allocated at load.
CSyncFolderTable* FolderTable();

}  // namespace Glint
