// The firmware release files and the host's folders, as the library requires them of the host.
#pragma once

#include "gatewayutils/platform/CodeTypes.h"
#include "gatewayutils/platform/Types.h"

// Names, versions and placement of the firmware release files in the firmware release folder.
// Each device object owns one.
class GWU_HOST_TYPE CGatewayFileUtils {
public:
    // The firmware release folder, without a trailing separator.
    static CString GetDefaultSoftwareLocation();

    // The code type's release file name. The flag picks one of the two names that
    // RenameGatewayFile works on: true the release installed on disk, false the file the device
    // takes its firmware from. Empty for a code type the family does not have.
    CString GetHLXFileName(CODETYPE codeType, const bool& flag) const;
    CString GetQPTFileName(CODETYPE codeType, const bool& flag) const;
    // The hex image name of a code type (the active-cable firmware, MAC_CODE).
    CString GetHexFilename(CODETYPE codeType) const;

    // The release identifier stored in a file of the firmware release folder.
    bool GetHLXVersionFromFile(CString fileName, CString& version) const;
    bool GetQPTVersionFromFile(CString fileName, CString& version) const;

    // Puts the release named by the first name where the device takes its firmware from (the
    // second name); the caller's flag is passed through. The stand-in host copies atomically
    // and keeps the release installed under the first name, whatever the flag, so that the
    // next check still has a release to compare the device with.
    bool RenameGatewayFile(CString nameForTrue, CString nameForFalse, bool flag);

    CString GetCustomHLXCPLDFileName() const;
    void SetCustomHLXCPLDFileName(CString fileName);

private:
    CString m_strCustomHLXCPLDFileName;
};

// The host's folders.
class GWU_HOST_TYPE CSystemInfo {
public:
    // 0 on success.
    static int GetRuntimePath(CString& path);
    static int GetLogFilesPath(CString& path);
};

class GWU_HOST_TYPE CIOUtilities {
public:
    // Reads a whole file. Returns the number of bytes read (0 on failure) and hands over a
    // buffer holding the content and a terminating zero byte, which the caller frees with
    // free(); *buffer is null on failure.
    static long ReadFileContents(const char* path, unsigned char** buffer);
};
