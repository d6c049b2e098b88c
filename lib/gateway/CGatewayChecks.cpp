#include "gateway/CGatewayChecks.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <string>
#include <system_error>
#include <utility>

#include "devices/CGatewayUtils.h"
#include "devices/CHLXUtils.h"
#include "devices/CQPTUtils.h"
#include "gateway/ReleaseCompare.h"
#include "platform/Comms.h"
#include "platform/Diagnostics.h"
#include "platform/ValueStore.h"

namespace {

// The facade whose update worker runs on this thread; null on every other thread.
thread_local const CGatewayChecks* t_updatingFacade = nullptr;

// Runs a monitor line where nothing may escape: a throwing sink loses the line, not the process.
template <typename Write>
void Quietly(Write write) noexcept {
    try {
        write();
    } catch (...) {
    }
}

}  // namespace

CGatewayChecks::CGatewayChecks(CTabQuillonFrame* pFrame, CBaseComms* pComms)
    : CGatewayChecks(pFrame, pComms, std::make_unique<CHLXUtils>(pComms, pFrame),
                     std::make_unique<CQPTUtils>(pComms, pFrame)) {}

CGatewayChecks::CGatewayChecks(CTabQuillonFrame* pFrame, CBaseComms* pComms,
                               std::unique_ptr<CGatewayUtils> pHLXUtils,
                               std::unique_ptr<CGatewayUtils> pQPTUtils)
    : m_pFrame(pFrame),
      m_pComms(pComms),
      m_pHLXUtils(std::move(pHLXUtils)),
      m_pQPTUtils(std::move(pQPTUtils)) {
    // Without any of the four nothing can be read or checked: no device is ever selected.
    const std::pair<bool, const char*> given[] = {{m_pFrame != nullptr, "frame"},
                                                  {m_pComms != nullptr, "connection"},
                                                  {m_pHLXUtils != nullptr, "HLX device"},
                                                  {m_pQPTUtils != nullptr, "QPT device"}};
    for (const auto& [present, name] : given) {
        if (!present) {
            m_strMissing += (m_strMissing.empty() ? "no " : ", no ") + CString(name);
        }
    }
    if (!m_strMissing.empty()) {
        Quietly([this] {
            MonPrintf("CGatewayChecks: built with %s: no device will be selected",
                      m_strMissing.c_str());
        });
    }
}

CGatewayChecks::~CGatewayChecks() {
    // The worker and any host call still running use a device object: they end first.
    const std::unique_lock<std::mutex> call = EnterHostCall();
    m_pActiveGateway = nullptr;
    m_pHLXUtils.reset();
    m_pQPTUtils.reset();
}

bool CGatewayChecks::OnWorkerThread() const {
    return t_updatingFacade == this;
}

std::unique_lock<std::mutex> CGatewayChecks::EnterHostCall() {
    if (OnWorkerThread()) {
        return {};  // the update calling back in: it owns the device already
    }
    std::unique_lock<std::mutex> call(m_callMutex);
    JoinWorker();
    return call;
}

UPDATERESULT CGatewayChecks::JoinWorker() {
    const std::lock_guard<std::mutex> lock(m_threadMutex);
    if (m_updateThread.joinable()) {
        m_updateThread.join();
    }
    return m_eLastUpdateResult;
}

void CGatewayChecks::SetCardName(CString cardName) {
    if (OnWorkerThread()) {
        // The running update's requests would go to the other card.
        Quietly([&] {
            MonPrintf("CGatewayChecks::SetCardName(%s): refused on the update worker",
                      cardName.c_str());
        });
        return;
    }
    const std::unique_lock<std::mutex> call = EnterHostCall();
    if (!m_strMissing.empty()) {
        Quietly([this] {
            MonPrintf("CGatewayChecks::SetCardName: refused: built with %s", m_strMissing.c_str());
        });
        return;
    }
    // The connection reads the name up to its first NUL: so does the facade.
    cardName.resize(std::char_traits<char>::length(cardName.c_str()));
    m_strCardName = cardName;
    m_pComms->SelectCard(m_strCardName.c_str());
    m_pComms->Disconnect();
    m_pActiveGateway = m_strCardName == "VCL" ? m_pHLXUtils.get() : m_pQPTUtils.get();
}

bool CGatewayChecks::CanCheck(const char* operation) const {
    if (m_pActiveGateway != nullptr) {
        return true;
    }
    Quietly([&] {
        MonPrintf("CGatewayChecks::%s: nothing read or checked: %s", operation,
                  m_strMissing.empty() ? "no card named yet (SetCardName)"
                                       : ("built with " + m_strMissing).c_str());
    });
    return false;
}

bool CGatewayChecks::SetReleaseIds(bool readDevice) {
    const std::unique_lock<std::mutex> call = EnterHostCall();
    return CanCheck("SetReleaseIds") && m_pActiveGateway->SetReleaseIds(readDevice);
}

CCodeDiffResults CGatewayChecks::CheckForUpdates(bool readDevice) {
    const std::unique_lock<std::mutex> call = EnterHostCall();
    if (!CanCheck("CheckForUpdates")) {
        return {};
    }
    if (readDevice) {
        m_pActiveGateway->SetReleaseIds(true);
    }
    return RunAllChecks();
}

CCodeDiffResults CGatewayChecks::PerformAllChecks() {
    const std::unique_lock<std::mutex> call = EnterHostCall();
    return CanCheck("PerformAllChecks") ? RunAllChecks() : CCodeDiffResults{};
}

CCodeDiffResults CGatewayChecks::RunAllChecks() {
    CCodeDiffResults results;
    if (m_pActiveGateway->SupportsCodeType(BS_CODE)) {
        results.m_eBS = VerifyMinBootstrapLevel();
    }
    if (m_pActiveGateway->SupportsCodeType(PROM_CODE)) {
        results.m_ePROM = VerifyMinPromLevel();
    }
    if (m_pActiveGateway->SupportsCodeType(LC_CODE)) {
        results.m_eLC = VerifyMinBCFLevel();
    }
    // The MAC firmware and the CPLD count only once the main images agree with the disk.
    if (m_pActiveGateway->SupportsCodeType(MAC_CODE) && !results.DifferencesFound()) {
        results.m_eMAC = VerifyMinActiveCableFirmwareLevel();
    }
    if (m_pActiveGateway->SupportsCodeType(CPLD_CODE) && !results.DifferencesFound()) {
        results.m_eCPLD = VerifyMinCPLDLevel();
    }
    return results;
}

void CGatewayChecks::PerformUpdate(CCodeDiffResults results) {
    if (OnWorkerThread()) {
        // It cannot wait for itself, and a second worker would take its record and thread.
        Quietly([] { MonPrintf("CGatewayChecks::PerformUpdate: refused on the update worker"); });
        return;
    }
    // One update at a time: the record and the device are the running worker's until it ends.
    const std::unique_lock<std::mutex> call = EnterHostCall();
    if (m_pActiveGateway == nullptr) {
        return;
    }
    const std::lock_guard<std::mutex> thread(m_threadMutex);
    m_eLastUpdateResult = UPDATE_NOT_RUN;
    m_UpdateParams.pGateway = m_pActiveGateway;
    if (!SelectUpdateCodeType(results, m_UpdateParams.eCodeType) && !m_bCodeTypeChosen) {
        return;  // nothing differs and no earlier request named a code type
    }
    m_bCodeTypeChosen = true;
    m_bUpdateRunning = true;
    try {
        m_updateThread = std::thread([this, params = m_UpdateParams] {
            t_updatingFacade = this;
            UpdateThreadProc(params, &m_bUpdateRunning, &m_eLastUpdateResult);
        });
    } catch (const std::system_error& e) {
        m_bUpdateRunning = false;
        Quietly(
            [&] { MonPrintf("CGatewayChecks::PerformUpdate: no worker thread: %s", e.what()); });
    }
}

bool CGatewayChecks::SelectUpdateCodeType(const CCodeDiffResults& results, CODETYPE& codeType) {
    for (const CODETYPE candidate : {BS_CODE, PROM_CODE, LC_CODE, CPLD_CODE, MAC_CODE}) {
        if (results.GetDiff(candidate) != DIFF_SAME) {
            codeType = candidate;
            return true;
        }
    }
    return false;
}

void CGatewayChecks::UpdateThreadProc(UpdateThreadParams params, std::atomic<bool>* running,
                                      std::atomic<UPDATERESULT>* result) {
    // Nothing may leave the worker (it would end the host process), the host sink's throws too.
    bool succeeded = false;
    try {
        switch (params.eCodeType) {
            case LC_CODE:
                succeeded = params.pGateway->UpdateBCF();
                break;
            case PROM_CODE:
                succeeded = params.pGateway->UpdatePROM();
                break;
            case BS_CODE:
                succeeded = params.pGateway->UpdateBootstrap();
                break;
            case CPLD_CODE:
                succeeded = params.pGateway->UpdateCPLD();
                break;
            case MAC_CODE:
                succeeded = params.pGateway->UpdateMACFirmware();
                break;
        }
    } catch (const CBaseCommsException& e) {
        Quietly([&] { MonPrintf("CGatewayChecks update worker: comms failure %d", e.Code()); });
    } catch (const std::exception& e) {
        Quietly([&] { MonPrintf("CGatewayChecks update worker: %s", e.what()); });
    } catch (...) {
        Quietly([] { MonPrintf("CGatewayChecks update worker: unknown failure"); });
    }
    *result = succeeded ? UPDATE_SUCCEEDED : UPDATE_FAILED;
    *running = false;
}

bool CGatewayChecks::IsUpdateRunning() const {
    return m_bUpdateRunning;
}

UPDATERESULT CGatewayChecks::WaitForUpdate() {
    if (OnWorkerThread()) {
        Quietly([] { MonPrintf("CGatewayChecks::WaitForUpdate: on the update worker: no wait"); });
        return UPDATE_NOT_RUN;
    }
    return JoinWorker();
}

void CGatewayChecks::RenameFile(CODETYPE codeType, CString /*unused*/, bool flag) {
    const std::unique_lock<std::mutex> call = EnterHostCall();
    if (m_pActiveGateway != nullptr) {
        m_pActiveGateway->RenameFile(codeType, flag);
    }
}

bool CGatewayChecks::DeviceFileExists(CString /*unused*/, CODETYPE codeType) {
    const std::unique_lock<std::mutex> call = EnterHostCall();
    if (m_pActiveGateway == nullptr) {
        return false;
    }
    return m_pActiveGateway->FileExists(m_pActiveGateway->GetFilename(codeType, false));
}

CString CGatewayChecks::GetFilename(CString /*unused*/, CODETYPE codeType, bool flag) {
    const std::unique_lock<std::mutex> call = EnterHostCall();
    if (m_pActiveGateway == nullptr) {
        return {};
    }
    return m_pActiveGateway->GetFilename(codeType, flag);
}

CString CGatewayChecks::GetCustomCPLDFileName() {
    const std::unique_lock<std::mutex> call = EnterHostCall();
    return m_pActiveGateway != nullptr ? m_pActiveGateway->GetCustomCPLDFileName() : CString{};
}

void CGatewayChecks::SetCustomCPLDFileName(CString fileName) {
    const std::unique_lock<std::mutex> call = EnterHostCall();
    if (m_pActiveGateway != nullptr) {
        m_pActiveGateway->SetCustomCPLDFileName(fileName);
    }
}

bool CGatewayChecks::DeviceHasCustomCPLD() {
    const std::unique_lock<std::mutex> call = EnterHostCall();
    return m_pActiveGateway != nullptr && m_pActiveGateway->HasCustomCPLD();
}

void CGatewayChecks::UpdateActiveCableFirmware() {
    const std::unique_lock<std::mutex> call = EnterHostCall();
    if (m_pActiveGateway != nullptr) {
        m_pActiveGateway->UpdateActiveCableFirmware();
    }
}

void CGatewayChecks::SetFileVerifier(const GatewayFileVerifier& verifier) {
    if (OnWorkerThread()) {  // the running update may be inside the verifier it would replace
        Quietly([] { MonPrintf("CGatewayChecks::SetFileVerifier: refused on the update worker"); });
        return;
    }
    const std::unique_lock<std::mutex> call = EnterHostCall();
    for (CGatewayUtils* device : {m_pHLXUtils.get(), m_pQPTUtils.get()}) {
        if (device != nullptr) {
            device->SetFileVerifier(verifier);
        }
    }
}

CString CGatewayChecks::GetFileRefusal() {
    const std::unique_lock<std::mutex> call = EnterHostCall();
    return m_pActiveGateway != nullptr ? m_pActiveGateway->GetRefusal() : CString{};
}

bool CGatewayChecks::IsKRTInstalled() const {
    const std::lock_guard<std::mutex> lock(m_krtMutex);
    return m_bKRTInstalled;
}

CString CGatewayChecks::GetKRTVersion() const {
    const std::lock_guard<std::mutex> lock(m_krtMutex);
    return m_strKRTVersion;
}

// ---------------------------------------------------------------------------------------------
// Firmware level verification, of the active device (the check sequence runs only with one)

DIFFTYPE CGatewayChecks::VerifyMinBCFLevel() {
    return VerifyFWLevel(m_pActiveGateway->GetFilename(LC_CODE, true), LC_CODE);
}

DIFFTYPE CGatewayChecks::VerifyMinPromLevel() {
    return VerifyFWLevel(m_pActiveGateway->GetFilename(PROM_CODE, true), PROM_CODE);
}

DIFFTYPE CGatewayChecks::VerifyMinBootstrapLevel() {
    return VerifyFWLevel(m_pActiveGateway->GetFilename(BS_CODE, true), BS_CODE);
}

DIFFTYPE CGatewayChecks::VerifyMinActiveCableFirmwareLevel() {
    return VerifyFWLevel(m_pActiveGateway->GetActiveCableFirmwareFilename(MAC_CODE), MAC_CODE);
}

DIFFTYPE CGatewayChecks::VerifyMinCPLDLevel() {
    // The device must carry a custom CPLD exactly when a custom CPLD file is configured.
    const bool customConfigured = !m_pActiveGateway->GetCustomCPLDFileName().empty();
    return customConfigured == m_pActiveGateway->HasCustomCPLD() ? DIFF_SAME : DIFF_OLDER;
}

DIFFTYPE CGatewayChecks::VerifyFWLevel(CString fileName, CODETYPE codeType) {
    const CString valueName = m_pActiveGateway->GetUntrimmedReleaseValueName(codeType);
    CString diskText;
    if (!m_pActiveGateway->GetVersionFromFile(fileName, diskText)) {
        return DIFF_SAME;
    }
    CString deviceText;
    FetchGatewayValue(valueName, deviceText);
    bool legacy = false;
    const DIFFTYPE result =
        gwu::CompareWithReleaseFile(*m_pActiveGateway, codeType, deviceText, diskText, legacy);
    if (legacy) {
        const std::lock_guard<std::mutex> lock(m_krtMutex);
        m_strKRTVersion = deviceText;
        m_bKRTInstalled = true;
    }
    return result;
}

bool CGatewayChecks::FetchGatewayValue(CString valueName, CString& value) {
    m_pFrame->GetValueStore().GetValue(valueName, &value, CTabValueStore::kMaxLength);
    return true;
}

DIFFTYPE CGatewayChecks::CompareGatewayReleaseID(const CString& deviceId, const CString& diskId) {
    return gwu::CompareReleaseIds(deviceId, diskId);
}

bool CGatewayChecks::IsManufacturingRelease(const CString& value) {
    return gwu::IsManufacturingRelease(value);
}
