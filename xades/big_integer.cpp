#include "xades/big_integer.h"
namespace vel::xades {
}
