// The controller's job file list: the *.JBI files of the job directory
// (settings "jobs"), sorted by name, as of the last ctlRefreshFileList.
#include <dirent.h>
#include <sys/stat.h>

#include <strings.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "ctl.h"
#include "ctlTestHooks.h"
#include "vc.h"

namespace {

std::mutex listLock;
std::vector<std::string> jobFiles;

bool isJobFile(const std::string& dir, const char* name) {
    std::size_t n = std::strlen(name);
    if (n <= 4 || strcasecmp(name + n - 4, ".JBI") != 0) return false;
    struct stat st {};
    return stat((dir + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool endsWith(const char* name, const char* suffix) {
    const std::size_t n = std::strlen(name);
    const std::size_t k = std::strlen(suffix);
    return n > k && std::strcmp(name + n - k, suffix) == 0;
}

}  // namespace

void vc::removeTransferLeftovers(const std::string& jobsDir) {
    DIR* d = opendir(jobsDir.c_str());
    if (!d) return;
    std::vector<std::string> leftovers;
    while (dirent* e = readdir(d))
        if (endsWith(e->d_name, CTL_TRANSFER_SUFFIX)) leftovers.emplace_back(e->d_name);
    closedir(d);
    for (const std::string& name : leftovers) {
        std::string path = jobsDir;
        path += '/';
        path += name;
        if (std::remove(path.c_str()) == 0)
            std::printf("arvokor: removed %s, left by an interrupted job transfer\n", name.c_str());
    }
}

int ctlRefreshFileList(int kind) {
    if (kind != 1) {
        errno = EINVAL;
        return -1;
    }
    if (vc::hooks::shouldFail(vc::hooks::Site::FileList)) return -1;
    const std::string dir = vc::settings().jobsDir;
    std::vector<std::string> found;
    DIR* d = opendir(dir.c_str());
    if (!d) return -1;
    while (dirent* e = readdir(d))
        if (isJobFile(dir, e->d_name)) found.emplace_back(e->d_name);
    closedir(d);
    std::sort(found.begin(), found.end());
    std::lock_guard guard(listLock);
    jobFiles = std::move(found);
    return 0;
}

int ctlGetFileCount() {
    std::lock_guard guard(listLock);
    return static_cast<int>(jobFiles.size());
}

int ctlGetFileName(int index, char* name, int size) {
    std::lock_guard guard(listLock);
    if (!name || index < 0 || index >= static_cast<int>(jobFiles.size())) {
        errno = EINVAL;
        return -1;
    }
    const std::string& file = jobFiles[static_cast<std::size_t>(index)];
    if (size <= 0 || file.size() >= static_cast<std::size_t>(size)) {
        errno = ERANGE;  // a cut name would name another file
        return -1;
    }
    std::memcpy(name, file.c_str(), file.size() + 1);
    return 0;
}
