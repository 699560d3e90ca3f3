#pragma once

#include <string>

#include <leveldb/env.h>

namespace davedove {
namespace verorariv {
namespace local {

// The LevelDB environment of every store on this machine: each file it makes is for its owner alone
// (0600), since stores hold the user's documents, PINs and e-mail addresses. Never destroyed, so it
// outlives every database opened with it.
leveldb::Env* LevelDbOwnerOnlyEnv();

// Makes a store folder made before its files were kept to their owner, and every file in it, the
// owner's alone. Links are left as they are.
void NarrowLevelDbStore(const std::string& directory);

}  // namespace local
}  // namespace verorariv
}  // namespace davedove
