// Checks of the files a command names, made before anything reaches the cluster, so that a file
// that cannot be used stops the job before snapshots are made or deleted, with its cause and path.
// Stateless.
#ifndef SNAPJOB_FILE_CHECKS_H_
#define SNAPJOB_FILE_CHECKS_H_

#include <string>

namespace snapjob {

// Why the plug-in could not append to the snapshot map file `path`, or "" when it could. An empty
// name is the plug-in's own to refuse and passes here.
std::string MapFileProblem(const std::string& path);

// Why the CA file `path` cannot be read, or "" when it can (or none is given).
std::string CaFileProblem(const std::string& path);

}  // namespace snapjob

#endif  // SNAPJOB_FILE_CHECKS_H_
