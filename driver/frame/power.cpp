// Power: the driver has no power policy of its own; every power request goes to the bus driver.
#include "frame/frame.h"

_Use_decl_annotations_ NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    NONPAGED_CODE();
    PDEVICE_EXTENSION extension = DeviceExtensionOf(DeviceObject);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCopyCurrentIrpStackLocationToNext(Irp);
    PoStartNextPowerIrp(Irp);
    // The request belongs to the lower drivers from here on.
    return PoCallDriver(extension->LowerDeviceObject, Irp);
}
