#include "app/jobs.h"

namespace zanpost {

void SendJob() {}

}  // namespace zanpost
