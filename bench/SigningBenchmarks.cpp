// A signed release folder verified (its manifest read, its signature checked, every file hashed
// and compared) against the floor of SHA-256 over the same bytes computed in process: the sample
// folder, and a folder holding one 50 MB image beside the samples. The large folder's ratio is
// the one that speaks of the hashing (about 1.1 on this machine); the sample folder's few
// kilobytes hash in microseconds, and its time is the fixed cost of one ECDSA verification and
// of opening each file.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "bench/BenchSupport.h"
#include "firmware/signing/FolderCheck.h"
#include "testsupport/TestFolders.h"

namespace gwu::bench {
namespace {

namespace fs = std::filesystem;

// Argument 0: the sample folder as it is; else with a release image of that size added and the
// folder signed again by the sample key, whose public half is the one trusted key.
void BM_VerifyFolder(benchmark::State& state) {
    const std::size_t imageBytes = Scaled(static_cast<std::size_t>(state.range(0)), 4096);
    test::TempDir dir;
    const fs::path folder = dir.Path() / "firmware";
    fs::copy(test::SampleDir() / "firmware", folder);
    if (state.range(0) != 0) {
        test::TestFolders::WriteFile(folder / "HLX_BIG.rel",
                                     "Release-Id: BIG_R1\n" + std::string(imageBytes, 'x'));
        const signing::ManifestReading made = signing::MakeManifest(folder.string(), 2, "now");
        const std::string manifest = signing::WriteManifest(*made.manifest);
        std::string problem;
        const auto signature =
            signing::Sign(test::TestFolders::ReadFile(test::SampleDir() / ".." / "scripts" /
                                                      "sample-publisher.key"),
                          manifest, problem);
        if (!signature) {
            Fail(state, problem);
            return;
        }
        test::TestFolders::WriteFile(folder / signing::kManifestName, manifest);
        test::TestFolders::WriteFile(folder / signing::kSignatureName, *signature);
    }
    signing::TrustFolder trust =
        signing::LoadTrustFolder((test::SampleDir() / "sample-trust").string());
    std::string bytes;
    for (const auto& entry : fs::directory_iterator(folder)) {
        bytes += test::TestFolders::ReadFile(entry.path());
    }
    auto job = [&]() {
        const signing::FolderCheck check = signing::CheckFolder(folder.string(), trust.keys);
        if (check.signature != signing::SignatureState::Valid || !check.FilesMatch()) {
            Fail(state, "the folder does not verify: " + check.problem);
        }
    };
    auto floor = [&]() { benchmark::DoNotOptimize(signing::Sha256::Of(bytes)); };
    RunAgainstFloor(state, job, floor);
    state.counters["bytes"] = static_cast<double>(bytes.size());
}
BENCHMARK(BM_VerifyFolder)->Arg(0)->Arg(50'000'000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace gwu::bench
