#include "frame/service_factory.h"

CZemSvc *zem_service_create()
{
    return nullptr;
}

void zem_service_destroy(CZemSvc *)
{
}
