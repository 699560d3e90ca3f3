#ifndef DAVEDOVE_VERORARIV_CORE_TARGET_ID_GENERATOR_H_
#define DAVEDOVE_VERORARIV_CORE_TARGET_ID_GENERATOR_H_

#include <cstdint>

namespace davedove {
namespace verorariv {
namespace core {

// The id of a listen target.
using TargetId = int32_t;

// Hands out target ids two apart, so that generators with different ids (0 for the query cache,
// 1 for the sync engine) never hand out the same one.
class TargetIdGenerator {
 public:
  // Keeps `generator_id` and seeks to `seed`, which must carry every bit of the generator id.
  TargetIdGenerator(int32_t generator_id, TargetId seed);

  int32_t generator_id() const { return generator_id_; }

  // The next id; every call advances by 2.
  TargetId NextId();

 private:
  void Seek(TargetId target_id);

  int32_t generator_id_;
  TargetId next_id_;
};

}  // namespace core
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_CORE_TARGET_ID_GENERATOR_H_
