// A platform source that reaches up a layer. The platform links nothing of ours, so this
// must not compile: the test fails if any include path lets it see the layers above.
#include "automation/error.h"
#include "platform/files.h"
