// PNG on Windows through the Windows Imaging Component, the platform's own codecs: no libpng to
// ship, and the file is the one any Windows program would write. WIC's 16bppGray format takes
// one 16-bit sample per pixel in the machine's (little-endian) order, which is how the camera
// sends pixels, so a frame goes to the encoder as it came.
#include "image.h"

#include <fmt/format.h>

#include <windows.h>

#include <objbase.h>
#include <wincodec.h>

#include <system_error>
#include <utility>

namespace tovrik::cli {

namespace {

// Owns one COM interface pointer.
template <typename Interface> class ComPtr {
  public:
    ComPtr() = default;
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() {
        if (p_ != nullptr)
            p_->Release();
    }
    Interface* operator->() const { return p_; }
    Interface* get() const { return p_; }
    Interface** put() { return &p_; }

  private:
    Interface* p_ = nullptr;
};

// COM for this thread, for as long as the image is written. A thread that already runs COM in
// another apartment keeps it (RPC_E_CHANGED_MODE): WIC works in either.
class ComScope {
  public:
    ComScope() {
        HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED | COINIT_DISABLE_OLE1DDE);
        owned_ = SUCCEEDED(hr);
        if (FAILED(hr) && hr != RPC_E_CHANGED_MODE)
            failure_ = hr;
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    ~ComScope() {
        if (owned_)
            CoUninitialize();
    }
    HRESULT Failure() const { return failure_; }

  private:
    bool owned_ = false;
    HRESULT failure_ = S_OK;
};

std::string Describe(HRESULT hr) {
    std::string text = std::system_category().message(static_cast<int>(hr));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.'))
        text.pop_back();
    return fmt::format("{} (HRESULT 0x{:08X})", text, static_cast<std::uint32_t>(hr));
}

// Removes a half-written file when the writing fails, so a failed capture never leaves a PNG
// that looks like a frame. Armed once the file is created; declared before the stream, so the
// stream has closed the file by the time this removes it.
class PartialFile {
  public:
    explicit PartialFile(std::filesystem::path path) : path_(std::move(path)) {}
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;
    ~PartialFile() {
        if (armed_) {
            std::error_code ignored;
            std::filesystem::remove(path_, ignored);
        }
    }
    void Arm() { armed_ = true; }
    void Keep() { armed_ = false; }

  private:
    std::filesystem::path path_;
    bool armed_ = false;
};

} // namespace

bool CanWritePng() {
    return true;
}

void WriteGray16Png(const std::filesystem::path& path, std::uint32_t width, std::uint32_t height,
                    std::span<const std::uint8_t> pixels) {
    if (pixels.size() != std::size_t{width} * height * 2)
        throw FileError(fmt::format("'{}': {} bytes are not a {} x {} frame of 16-bit pixels",
                                    path.string(), pixels.size(), width, height));
    // WIC takes the stride and the buffer size as 32-bit counts.
    const std::uint64_t stride = std::uint64_t{width} * 2;
    if (stride > 0xFFFFFFFFu || pixels.size() > 0xFFFFFFFFu)
        throw FileError(fmt::format("'{}': a {} x {} frame is too large for a PNG writer",
                                    path.string(), width, height));
    MakeParentFolders(path);

    auto fail = [&](const char* step, HRESULT hr) {
        return FileError(
            fmt::format("cannot write '{}': {}: {}", path.string(), step, Describe(hr)));
    };
    ComScope com;
    if (FAILED(com.Failure()))
        throw fail("COM did not start", com.Failure());

    ComPtr<IWICImagingFactory> factory;
    HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IWICImagingFactory, reinterpret_cast<void**>(factory.put()));
    if (FAILED(hr))
        throw fail("no Windows Imaging Component", hr);

    PartialFile partial(path);
    ComPtr<IWICStream> stream;
    hr = factory->CreateStream(stream.put());
    if (FAILED(hr))
        throw fail("no stream", hr);
    hr = stream->InitializeFromFilename(path.wstring().c_str(), GENERIC_WRITE);
    if (FAILED(hr))
        throw fail("cannot create the file", hr);
    partial.Arm();

    ComPtr<IWICBitmapEncoder> encoder;
    hr = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.put());
    if (SUCCEEDED(hr))
        hr = encoder->Initialize(stream.get(), WICBitmapEncoderNoCache);
    if (FAILED(hr))
        throw fail("no PNG encoder", hr);

    ComPtr<IWICBitmapFrameEncode> frame;
    hr = encoder->CreateNewFrame(frame.put(), nullptr);
    if (SUCCEEDED(hr))
        hr = frame->Initialize(nullptr);
    if (SUCCEEDED(hr))
        hr = frame->SetSize(width, height);
    if (FAILED(hr))
        throw fail("cannot start the image", hr);

    // The encoder answers with the closest format it has; anything but 16-bit gray would store
    // other samples than the camera's, so it is refused rather than converted.
    WICPixelFormatGUID format = GUID_WICPixelFormat16bppGray;
    hr = frame->SetPixelFormat(&format);
    if (FAILED(hr))
        throw fail("no 16-bit grayscale", hr);
    if (!IsEqualGUID(format, GUID_WICPixelFormat16bppGray))
        throw FileError(fmt::format("cannot write '{}': this system's PNG encoder does not store "
                                    "16-bit grayscale; use --raw",
                                    path.string()));

    hr = frame->WritePixels(height, static_cast<UINT>(stride), static_cast<UINT>(pixels.size()),
                            const_cast<BYTE*>(pixels.data()));
    if (SUCCEEDED(hr))
        hr = frame->Commit();
    if (SUCCEEDED(hr))
        hr = encoder->Commit();
    if (FAILED(hr))
        throw fail("cannot write the pixels", hr);
    partial.Keep();
}

} // namespace tovrik::cli
