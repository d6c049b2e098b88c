#include "process/ProcessUtils.h"

#include <cstdlib>
#include <filesystem>
#include <random>
#include <system_error>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace gwu::host {

std::string HostName() {
#ifdef _WIN32
    const char* name = std::getenv("COMPUTERNAME");
    return name != nullptr ? std::string(name) : std::string();
#else
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    return name;
#endif
}

void SetEnvVar(const std::string& name, const std::string& value) {
#ifdef _WIN32
    ::_putenv_s(name.c_str(), value.c_str());
#else
    ::setenv(name.c_str(), value.c_str(), 1);
#endif
}

void UnsetEnvVar(const std::string& name) {
#ifdef _WIN32
    ::_putenv_s(name.c_str(), "");  // an empty value removes the variable there
#else
    ::unsetenv(name.c_str());
#endif
}

std::string MakeTempFolder(const std::string& prefix) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    if (ec) {
        return {};
    }
    std::random_device seed;
    std::mt19937_64 random(seed());
    const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = prefix;
        for (int i = 0; i < 10; ++i) {
            name += digits[random() % (sizeof digits - 1)];
        }
        const fs::path folder = base / name;
        // create_directory is false when the folder exists already: someone else's, try again.
        if (fs::create_directory(folder, ec) && !ec) {
            fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace, ec);
            return folder.string();
        }
        if (ec) {
            return {};
        }
    }
    return {};
}

}  // namespace gwu::host
