#include "xades/crypto_helpers.h"
namespace vel::xades {
}
