#!/usr/bin/env bash
# Signs the sample firmware folder with the sample publisher's key (scripts/sample-publisher.key,
# a sample key trusted for the samples only, through samples/sample-trust/), so that the
# embedded default runs on a verified folder. Run it after changing a file of samples/firmware;
# the tests ReleaseTest.TheSampleFolderIsSignedByTheSampleKey and
# ReleaseTest.UpdateUsesOnlyWhatATrustedPublisherSigned fail until then.
# Usage: scripts/sign-samples.sh [GWCTL]   (default: the dev build's gwctl)
set -euo pipefail
cd "$(dirname "$0")/.."
gwctl=${1:-build/dev/cli/gwctl}
# The .bin files an emulated update left in the folder are not published; they stay out.
"$gwctl" release sign --key scripts/sample-publisher.key samples/firmware
"$gwctl" release verify --trust samples/sample-trust samples/firmware
# The same manifest signed by the tests' own key, so that the tests (on Windows too, where
# nothing is signed) can trust a publisher other than the sample one.
openssl dgst -sha256 -sign tests/signing/data/p256-private.pem \
    -out tests/signing/data/sample-manifest.sig samples/firmware/RELEASES.json
