#include "progress.h"

#include <io.h>
#include <stdio.h>

namespace tovrik::cli {

bool StandardOutputIsTerminal() {
    return _isatty(_fileno(stdout)) != 0;
}

} // namespace tovrik::cli
