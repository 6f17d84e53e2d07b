#include "progress.h"

#include <unistd.h>

namespace tovrik::cli {

bool StandardOutputIsTerminal() {
    return isatty(STDOUT_FILENO) != 0;
}

} // namespace tovrik::cli
