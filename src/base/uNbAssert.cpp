#include "uNbAssert.h"

#include "uNbExceptions.h"
#include "uNbFormat.h"

void NbAssertFail(std::string_view text, std::string_view unit, int line) {
    throw EAssertionFailed(NbFormat("%s (%s, line %d)", text, unit, line));
}
