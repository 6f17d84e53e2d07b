// Sample host kernel manifest as an X-macro list.
#define SAMPLE_MANIFEST(ROUTINE)                                                                   \
    ROUTINE(ExAllocatePool, Complete)                                                              \
    ROUTINE(ExFreePool, Complete)                                                                  \
    ROUTINE(IofCompleteRequest, Complete)                                                          \
    ROUTINE(USBD_GetUSBDIVersion, Complete)                                                        \
    ROUTINE(IoReuseIrp, Stub)
