// kestrova-release: release keys, and signed releases published into kestrova-relay's update
// folder.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>

#include "relay/release/release_core.h"

int main(int argc, char** argv) {
  CLI::App app{
      "kestrova-release: makes the release key, and signs and publishes Kestrova releases into the\n"
      "update folder that kestrova-relay serves (--update-dir). Build the program with the key that\n"
      "keygen prints (-DKESTROVA_RELEASE_PUBLIC_KEY=...): it accepts only manifests signed with it."};
  app.require_subcommand(1);

  std::string keyOut;
  CLI::App* keygen = app.add_subcommand(
      "keygen", "Make a new P-256 release key: writes the private key (PEM, mode 0600, never over an\n"
                "existing file) and prints the 96-character public key for KESTROVA_RELEASE_PUBLIC_KEY");
  keygen->add_option("--out", keyOut, "File for the private key; keep it secret and backed up")->required();

  std::string key, exe, version, updateDir;
  CLI::App* publish = app.add_subcommand(
      "publish", "Sign and publish a release: checks the executable (MZ, 65536 to 33554432 bytes),\n"
                 "writes releases/X.Y.Z/Orvantis.exe and then update.json, each put into place\n"
                 "atomically, so a running relay never serves a manifest whose release is missing");
  publish->add_option("--key", key, "Private key file made by keygen")->required();
  publish->add_option("--exe", exe, "The release's Kestrova.exe")->required();
  publish->add_option("--version", version, "Its version, X.Y.Z (0 to 65535 each, no leading zeros)")->required();
  publish->add_option("--update-dir", updateDir, "The relay's update folder")->required();

  std::string verifyDir, publicKey;
  CLI::App* verify = app.add_subcommand(
      "verify", "Check an update folder as the program would: the manifest's signature and members,\n"
                "and the release file it names (size, MZ, SHA-256)");
  verify->add_option("--update-dir", verifyDir, "The relay's update folder")->required();
  verify->add_option("--public", publicKey, "The 96-character public key the program is built with")->required();

  CLI11_PARSE(app, argc, argv);
  try {
    if (*keygen) {
      const ov::release::ReleaseKey made = ov::release::ReleaseKey::Generate();
      made.Save(keyOut);
      std::cout << made.PublicBase64() << "\n";
    } else if (*publish) {
      const ov::release::ReleaseKey loaded = ov::release::ReleaseKey::Load(key);
      const ov::ReleaseManifest manifest = ov::release::Publish(loaded, exe, version, updateDir);
      std::cout << "published " << manifest.version << " (" << manifest.bytes << " bytes, sha256 " << manifest.sha256
                << ")\n";
    } else if (*verify) {
      const ov::ReleaseManifest manifest = ov::release::VerifyFolder(verifyDir, publicKey);
      std::cout << "ok: " << manifest.version << " (" << manifest.bytes << " bytes, sha256 " << manifest.sha256
                << ")\n";
    }
  } catch (const std::exception& e) {
    std::cerr << "kestrova-release: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
