#ifndef INCLUDE_SNAPCLIENTFACTORY_H
#define INCLUDE_SNAPCLIENTFACTORY_H

#include "FileServerSnapClientBase.h"

// The plug-in's only exported symbol. Returns a new, independent snap client that the caller owns
// and deletes through the base pointer; null only when it could not be allocated.
extern "C" CFileServerSnapClientBase* GetSnapClient();

// The type of GetSnapClient, for dlsym.
typedef CFileServerSnapClientBase* (*GetSnapClientFn)();

#endif
