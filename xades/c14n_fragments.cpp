#include "xades/c14n_fragments.h"
namespace vel::xades {
}
