// The facade the host drives: selects the fitted device by card name, checks its firmware
// against the releases installed on disk and updates one code type at a time on a worker.
//
// The update worker is the only thread the facade starts; it owns it and never detaches it. The
// host's calls into one facade run one at a time, and each (but IsUpdateRunning, WaitForUpdate,
// IsKRTInstalled and GetKRTVersion) first waits for a running update: a card named or a check
// started during an update cannot redirect it or share the device with it. Any number of host
// threads may wait for the update; each gets the same result. An update operation that calls
// back into the facade on the worker itself never waits for itself: SetCardName and
// PerformUpdate are refused there (a monitor line says so), WaitForUpdate returns at once with
// UPDATE_NOT_RUN, the other services run at once. The facade is never destroyed on its worker.
//
// A facade built without a frame, a connection or a device object says so on the monitor and
// selects no device: every operation gives its neutral or failed answer.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "gatewayutils/base/Export.h"
#include "gatewayutils/gateway/CCodeDiffResults.h"
#include "gatewayutils/platform/FileVerifier.h"
#include "gatewayutils/platform/Types.h"
#include "gatewayutils/platform/ValueStore.h"

class CBaseComms;
class CGatewayUtils;
class CTabQuillonFrame;

// What the update worker is asked to do.
struct UpdateThreadParams {
    CGatewayUtils* pGateway = nullptr;
    CODETYPE eCodeType = LC_CODE;
};

class GWU_API CGatewayChecks {
public:
    // Borrows the frame and the connection, which outlive the facade; creates and owns one
    // device object per family.
    CGatewayChecks(CTabQuillonFrame* pFrame, CBaseComms* pComms);
    // Takes the two device objects instead of creating them (a host's own device classes, or
    // test doubles).
    CGatewayChecks(CTabQuillonFrame* pFrame, CBaseComms* pComms,
                   std::unique_ptr<CGatewayUtils> pHLXUtils,
                   std::unique_ptr<CGatewayUtils> pQPTUtils);
    // Waits for a running update worker, then destroys the device objects.
    virtual ~CGatewayChecks();
    CGatewayChecks(const CGatewayChecks&) = delete;
    CGatewayChecks& operator=(const CGatewayChecks&) = delete;

    // "VCL" selects the communication module, every other name the measurement module. The
    // name ends at its first NUL character, for the connection as for the facade.
    void SetCardName(CString cardName);
    bool SetReleaseIds(bool readDevice);
    CCodeDiffResults CheckForUpdates(bool readDevice);
    // Checks the values the active device has published, without reading the device again.
    CCodeDiffResults PerformAllChecks();
    // Starts the worker that updates the first differing code type (bootstrap, PROM, loaded
    // code, CPLD, MAC firmware). Waits first for an update still running.
    void PerformUpdate(CCodeDiffResults results);
    void RenameFile(CODETYPE codeType, CString unused, bool flag);
    bool DeviceFileExists(CString unused, CODETYPE codeType);
    CString GetFilename(CString unused, CODETYPE codeType, bool flag);
    CString GetCustomCPLDFileName();
    void SetCustomCPLDFileName(CString fileName);
    bool DeviceHasCustomCPLD();
    void UpdateActiveCableFirmware();
    // Installs the host's check of the files a device loads (platform/FileVerifier.h) on both
    // device objects; an empty one removes it. It is asked before every update or cable request,
    // on that operation's thread: on a refusal nothing is sent, the update fails and
    // GetFileRefusal says why. Refused on the update worker, like SetCardName.
    void SetFileVerifier(const GatewayFileVerifier& verifier);
    // Why the active device's last update or cable request was not sent, in words; empty when
    // it was not refused.
    CString GetFileRefusal();
    // Whether a check ever found the legacy tester's software on the device, and its text.
    bool IsKRTInstalled() const;
    CString GetKRTVersion() const;

    // The code type an update request for these verdicts would update: the first that
    // differs of bootstrap, PROM, loaded code, CPLD and MAC firmware. False when none differs.
    static bool SelectUpdateCodeType(const CCodeDiffResults& results, CODETYPE& codeType);

    // Whether an update worker is still running. Any thread.
    bool IsUpdateRunning() const;
    // Blocks until the running update worker, if any, has finished, and tells how the update
    // that the last PerformUpdate asked for ended. Only the device operation's own result
    // counts: whether the device took the new release shows in the next check. Any thread;
    // threads waiting for the same worker get the same result.
    UPDATERESULT WaitForUpdate();

private:
    // Enters a host call: one at a time, after the running update has ended. On the worker
    // itself the lock returned owns nothing and nothing is waited for.
    std::unique_lock<std::mutex> EnterHostCall();
    bool OnWorkerThread() const;
    UPDATERESULT JoinWorker();
    // Whether there is a device to check; otherwise says on the monitor why not.
    bool CanCheck(const char* operation) const;
    CCodeDiffResults RunAllChecks();
    DIFFTYPE VerifyMinBCFLevel();
    DIFFTYPE VerifyMinPromLevel();
    DIFFTYPE VerifyMinBootstrapLevel();
    DIFFTYPE VerifyMinActiveCableFirmwareLevel();
    DIFFTYPE VerifyMinCPLDLevel();
    DIFFTYPE VerifyFWLevel(CString fileName, CODETYPE codeType);
    bool FetchGatewayValue(CString valueName, CString& value);
    static DIFFTYPE CompareGatewayReleaseID(const CString& deviceId, const CString& diskId);
    static bool IsManufacturingRelease(const CString& value);
    static void UpdateThreadProc(UpdateThreadParams params, std::atomic<bool>* running,
                                 std::atomic<UPDATERESULT>* result);

    CTabQuillonFrame* m_pFrame;
    CBaseComms* m_pComms;
    std::unique_ptr<CGatewayUtils> m_pHLXUtils;
    std::unique_ptr<CGatewayUtils> m_pQPTUtils;
    CString m_strCardName;
    CGatewayUtils* m_pActiveGateway = nullptr;  // borrows one of the two above
    UpdateThreadParams m_UpdateParams;
    bool m_bCodeTypeChosen = false;  // whether a request has set m_UpdateParams.eCodeType
    CString m_strKRTVersion;
    bool m_bKRTInstalled = false;
    CString m_strMissing;      // what the constructor was not given; empty when it has everything
    std::mutex m_callMutex;    // one host call at a time
    std::mutex m_threadMutex;  // guards m_updateThread: starting and joining it
    mutable std::mutex m_krtMutex;  // guards the two KRT fields, read at any time
    std::thread m_updateThread;
    std::atomic<bool> m_bUpdateRunning{false};
    std::atomic<UPDATERESULT> m_eLastUpdateResult{UPDATE_NOT_RUN};
};
