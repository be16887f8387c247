#include "models.h"

namespace kelvara::models {

const char* message(ModelError error) noexcept {
    switch (error) {
    case ModelError::none:
        return "";
    case ModelError::isodesmic_guard:
        return "K * c_monomer must be less than 1 for the isodesmic model.";
    case ModelError::cooperative_guard:
        return "K * c_monomer must be less than 1 for the cooperative model.";
    case ModelError::nucleus_size:
        return "Nucleation size must be at least 2.";
    }
    return "";
}

}  // namespace kelvara::models
