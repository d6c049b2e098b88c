// Environment services the library requires of the host: firmware release files, folders,
// file reading, diagnostics and the named display values.
#pragma once

#include "platform/CodeTypes.h"
#include "platform/Types.h"

// Names, versions and placement of the firmware release files in the firmware release folder.
// Each device object owns one.
class CGatewayFileUtils {
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
class CSystemInfo {
public:
    // 0 on success.
    static int GetRuntimePath(CString& path);
    static int GetLogFilesPath(CString& path);
};

class CIOUtilities {
public:
    // Reads a whole file. Returns the number of bytes read (0 on failure) and hands over a
    // buffer holding the content and a terminating zero byte, which the caller frees with
    // free(); *buffer is null on failure.
    static long ReadFileContents(const char* path, unsigned char** buffer);
};

// Error line for an operation asked for a code type its device does not have.
void LogError(const char* sourceName, int line);

// A printf-style trace line on the monitor output. The line end is added.
[[gnu::format(printf, 1, 2)]] void MonPrintf(const char* format, ...);

// The host's named display values. A value set with SetValue reads back unchanged with
// GetValue, up to the length limit; reading a name never set gives an empty text.
class CTabValueStore {
public:
    static constexpr int kMaxLength = 512;

    virtual ~CTabValueStore() = default;
    virtual bool GetValue(const CString& name, CString* value, int maxLength) const = 0;
    virtual bool SetValue(const CString& name, const CString& value, int maxLength) = 0;
};

// The host's frame; it holds one value store.
class CTabQuillonFrame {
public:
    virtual ~CTabQuillonFrame() = default;
    virtual CTabValueStore& GetValueStore() = 0;
};
