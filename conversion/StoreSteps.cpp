#include "conversion/StoreSteps.h"

namespace conversion {

std::unique_ptr<StoreSteps> MakeStoreSteps(TargetForm form, bool singleStore, YieldFn yield,
                                           void* yieldContext) {
    (void)form;
    (void)singleStore;
    (void)yield;
    (void)yieldContext;
    return nullptr;
}

}  // namespace conversion
