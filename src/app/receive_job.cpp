#include "app/jobs.h"

namespace zanpost {

void ReceiveJob() {}

}  // namespace zanpost
