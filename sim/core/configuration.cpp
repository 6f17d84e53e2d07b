// Select-configuration and select-interface: the pipes a device has, and the handles to them.

#include "core/bus_core.h"

namespace sim::core {

namespace {

bool PeriodicKind(sim::EndpointKind kind) {
    return kind == sim::EndpointKind::Isochronous || kind == sim::EndpointKind::Interrupt;
}

// The interface records of a select-configuration URB: they follow its fixed part, each as long
// as its own Length says; the caller lists as many as fit in the URB, one per interface of the
// configuration at most.
class ListedInterfaces {
  public:
    ListedInterfaces(PURB urb, std::uint32_t interfaces)
        : Cursor(reinterpret_cast<std::uint8_t*>(&urb->UrbSelectConfiguration.Interface)),
          End(reinterpret_cast<std::uint8_t*>(urb) + urb->UrbHeader.Length), Left(interfaces) {}

    // The next record, or null when the URB or the configuration has no more.
    PUSBD_INTERFACE_INFORMATION Next() {
        if (Left == 0 || Cursor + GET_USBD_INTERFACE_SIZE(0) > End)
            return nullptr;
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(Cursor);
        Current = info;
        return info;
    }
    // Whether the record just returned, with `pipes` pipes, fits its Length and the URB.
    bool Fits(std::uint32_t pipes) const {
        return Current->Length >= GET_USBD_INTERFACE_SIZE(pipes) &&
               Cursor + GET_USBD_INTERFACE_SIZE(pipes) <= End;
    }
    void Advance() {
        Cursor += Current->Length;
        --Left;
    }

  private:
    std::uint8_t* Cursor;
    std::uint8_t* End;
    std::uint32_t Left;
    PUSBD_INTERFACE_INFORMATION Current = nullptr;
};

} // namespace

void BusCore::FillInterface(USBD_INTERFACE_INFORMATION& info,
                            std::span<const std::uint8_t> configuration, Pipe* const* pipes,
                            std::uint32_t count, std::uint64_t configurationSerial) {
    // Class, subclass and protocol come from the interface descriptor itself.
    const std::uint8_t* cursor = configuration.data();
    const std::uint8_t* end = configuration.data() + configuration.size();
    while (cursor + 2 <= end && cursor[0] >= 2 && cursor + cursor[0] <= end) {
        if (cursor[1] == USB_INTERFACE_DESCRIPTOR_TYPE && cursor[0] >= 9 &&
            cursor[2] == info.InterfaceNumber && cursor[3] == info.AlternateSetting) {
            info.Class = cursor[5];
            info.SubClass = cursor[6];
            info.Protocol = cursor[7];
            break;
        }
        cursor += cursor[0];
    }
    info.InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(
        reinterpret_cast<std::uintptr_t>(ConfigurationHandleOf(configurationSerial)) + 1 +
        info.InterfaceNumber);
    info.NumberOfPipes = count;
    for (std::uint32_t i = 0; i < count; ++i) {
        const Pipe& pipe = *pipes[i];
        USBD_PIPE_INFORMATION& out = info.Pipes[i];
        // A high-bandwidth endpoint reports the bytes of all its transactions in a microframe.
        out.MaximumPacketSize = static_cast<USHORT>(pipe.Endpoint.BytesPerMicroframe());
        out.EndpointAddress = pipe.Endpoint.Address;
        out.Interval = pipe.Endpoint.Interval;
        out.PipeType = static_cast<USBD_PIPE_TYPE>(pipe.Endpoint.Kind);
        out.PipeHandle = PipeHandleOf(pipe.Serial);
        out.MaximumTransferSize = pipe.MaximumTransferSize;
    }
}

SubmitOutcome BusCore::Unconfigure(Request& r) {
    // Every pipe closes, every handle becomes invalid.
    Connection& link = r.Link;
    TransferList ended;
    for (Pipe& pipe : link.Pipes)
        if (pipe.Serial != 0)
            ClosePipe(link, pipe, USBD_STATUS_CANCELED, ended);
    link.ConfigurationSerial = 0;
    ControlToDevice(link, 0x00, 9, 0, 0);
    r.Urb->UrbSelectConfiguration.ConfigurationHandle = nullptr;
    SubmitOutcome outcome = Served(r);
    outcome.Ended.Splice(ended);
    return outcome;
}

USBD_STATUS BusCore::CheckListedInterfaces(Request& r,
                                           std::span<const std::uint8_t> configuration) {
    // Every listed interface exists and its record has room for its pipes; the periodic
    // endpoints of the new configuration fit the microframe.
    EndpointDescription endpoints[MaxPipes];
    std::uint32_t listed = 0;
    std::uint32_t pipes = 0;
    std::uint32_t periodic = 0;
    ListedInterfaces walk(r.Urb, configuration[4]);
    while (PUSBD_INTERFACE_INFORMATION info = walk.Next()) {
        if (!HasAlternateSetting(configuration, info->InterfaceNumber, info->AlternateSetting))
            return USBD_STATUS_INTERFACE_NOT_FOUND;
        const std::uint32_t count = ParseInterfaceEndpoints(configuration, info->InterfaceNumber,
                                                            info->AlternateSetting, endpoints);
        if (count > MaxPipes || !walk.Fits(count))
            return USBD_STATUS_BUFFER_TOO_SMALL;
        for (std::uint32_t i = 0; i < count; ++i)
            if (PeriodicKind(endpoints[i].Kind))
                periodic += endpoints[i].BytesPerMicroframe();
        pipes += count;
        ++listed;
        walk.Advance();
    }
    if (listed == 0)
        return USBD_STATUS_BUFFER_TOO_SMALL;
    if (periodic > PeriodicBytesPerMicroframe)
        return USBD_STATUS_NO_BANDWIDTH;
    // The bus keeps at most MaxPipes pipes per device, and the schedule has its own limit; the
    // pipes open now close first.
    std::uint32_t open = 0;
    for (const Pipe& pipe : r.Link.Pipes)
        open += pipe.Serial != 0 ? 1 : 0;
    if (pipes > MaxPipes || pipes > Engine.FreeSlots() + open)
        return USBD_STATUS_INSUFFICIENT_RESOURCES;
    return USBD_STATUS_SUCCESS;
}

void BusCore::OpenListedInterfaces(Request& r, std::span<const std::uint8_t> configuration,
                                   std::uint64_t serial) {
    EndpointDescription endpoints[MaxPipes];
    ListedInterfaces fill(r.Urb, configuration[4]);
    while (PUSBD_INTERFACE_INFORMATION info = fill.Next()) {
        const std::uint32_t count = ParseInterfaceEndpoints(configuration, info->InterfaceNumber,
                                                            info->AlternateSetting, endpoints);
        Pipe* opened[MaxPipes];
        for (std::uint32_t i = 0; i < count; ++i)
            opened[i] = OpenPipe(r.Link, endpoints[i], info->Pipes[i].MaximumTransferSize);
        FillInterface(*info, configuration, opened, count, serial);
        fill.Advance();
    }
}

SubmitOutcome BusCore::SelectConfiguration(Request& r) {
    Connection& link = r.Link;
    auto& request = r.Urb->UrbSelectConfiguration;
    if (request.ConfigurationDescriptor == nullptr)
        return Unconfigure(r);

    const std::span<const std::uint8_t> configuration =
        link.Owner->Model().ConfigurationDescriptor();
    const USB_CONFIGURATION_DESCRIPTOR* given = request.ConfigurationDescriptor;
    if (given->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE || given->bLength < 9 ||
        given->wTotalLength < 9 || configuration.size() < 9)
        return Refuse(r, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
    if (const USBD_STATUS refusal = CheckListedInterfaces(r, configuration);
        refusal != USBD_STATUS_SUCCESS)
        return Refuse(r, refusal);

    // The device takes the configuration and each listed setting before the bus changes anything.
    if (!ControlToDevice(link, 0x00, 9, configuration[5], 0))
        return Refuse(r, USBD_STATUS_SET_CONFIG_FAILED);
    ListedInterfaces settings(r.Urb, configuration[4]);
    while (PUSBD_INTERFACE_INFORMATION info = settings.Next()) {
        if (info->AlternateSetting != 0 &&
            !ControlToDevice(link, 0x01, 11, info->AlternateSetting, info->InterfaceNumber))
            return Refuse(r, USBD_STATUS_STALL_PID);
        settings.Advance();
    }

    // The old pipes close, the new ones open and their records are filled in.
    TransferList ended;
    for (Pipe& pipe : link.Pipes)
        if (pipe.Serial != 0)
            ClosePipe(link, pipe, USBD_STATUS_CANCELED, ended);
    const std::uint64_t serial = NextSerial++;
    OpenListedInterfaces(r, configuration, serial);
    link.ConfigurationSerial = serial;
    link.ConfigurationValue = configuration[5];
    request.ConfigurationHandle = ConfigurationHandleOf(serial);
    SubmitOutcome outcome = Served(r);
    outcome.Ended.Splice(ended);
    return outcome;
}

SubmitOutcome BusCore::SelectInterface(Request& r) {
    Connection& link = r.Link;
    auto& request = r.Urb->UrbSelectInterface;
    if (!link.Configured() ||
        request.ConfigurationHandle != ConfigurationHandleOf(link.ConfigurationSerial))
        return Refuse(r, USBD_STATUS_INVALID_PARAMETER);
    const std::span<const std::uint8_t> configuration =
        link.Owner->Model().ConfigurationDescriptor();
    USBD_INTERFACE_INFORMATION& info = request.Interface;
    if (!HasAlternateSetting(configuration, info.InterfaceNumber, info.AlternateSetting))
        return Refuse(r, USBD_STATUS_INTERFACE_NOT_FOUND);
    EndpointDescription endpoints[MaxPipes];
    const std::uint32_t count = ParseInterfaceEndpoints(configuration, info.InterfaceNumber,
                                                        info.AlternateSetting, endpoints);
    if (count > MaxPipes)
        return Refuse(r, USBD_STATUS_BUFFER_TOO_SMALL);
    // GET_SELECT_INTERFACE_REQUEST_SIZE(count), with no pipe at all taking one entry less.
    const std::size_t needed = sizeof(_URB_SELECT_INTERFACE) +
                               std::size_t{count} * sizeof(USBD_PIPE_INFORMATION) -
                               sizeof(USBD_PIPE_INFORMATION);
    if (!r.LengthAtLeast(needed) || info.Length < GET_USBD_INTERFACE_SIZE(count))
        return Refuse(r, USBD_STATUS_BUFFER_TOO_SMALL);

    // The pipes of this interface's current setting go; the others stay.
    std::uint32_t periodic = 0;
    std::uint32_t staying = 0;
    std::uint32_t closing = 0;
    for (const Pipe& pipe : link.Pipes) {
        if (pipe.Serial == 0)
            continue;
        if (pipe.Endpoint.InterfaceNumber == info.InterfaceNumber) {
            ++closing;
            continue;
        }
        ++staying;
        if (PeriodicKind(pipe.Endpoint.Kind))
            periodic += pipe.Endpoint.BytesPerMicroframe();
    }
    for (std::uint32_t i = 0; i < count; ++i)
        if (PeriodicKind(endpoints[i].Kind))
            periodic += endpoints[i].BytesPerMicroframe();
    if (periodic > PeriodicBytesPerMicroframe)
        return Refuse(r, USBD_STATUS_NO_BANDWIDTH);
    if (staying + count > MaxPipes || count > Engine.FreeSlots() + closing)
        return Refuse(r, USBD_STATUS_INSUFFICIENT_RESOURCES);
    if (!ControlToDevice(link, 0x01, 11, info.AlternateSetting, info.InterfaceNumber))
        return Refuse(r, USBD_STATUS_STALL_PID);

    TransferList ended;
    for (Pipe& pipe : link.Pipes)
        if (pipe.Serial != 0 && pipe.Endpoint.InterfaceNumber == info.InterfaceNumber)
            ClosePipe(link, pipe, USBD_STATUS_CANCELED, ended);
    Pipe* opened[MaxPipes];
    for (std::uint32_t i = 0; i < count; ++i)
        opened[i] = OpenPipe(link, endpoints[i], info.Pipes[i].MaximumTransferSize);
    FillInterface(info, configuration, opened, count, link.ConfigurationSerial);
    SubmitOutcome outcome = Served(r);
    outcome.Ended.Splice(ended);
    return outcome;
}

} // namespace sim::core
