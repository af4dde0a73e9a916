#include "genicam/genicamera.hpp"

namespace oculane {

GenicamResult<void> GenICamera::ensure_model() { return {}; }

}  // namespace oculane
