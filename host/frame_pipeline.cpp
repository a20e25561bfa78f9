// FilterProc: one frame from the host's cache, through the card, into the host's output image.
#include <cstdint>

#include "effect/track_mapping.h"
#include "gpu/device.h"
#include "gpu/frame_resources.h"
#include "gpu/gpu_context.h"
#include "gpu/messages.h"
#include "gpu/render.h"
#include "host/filter.h"
#include "host/frame_pipeline.h"
#include "transfer/transfer.h"
#include "worker/render_worker.h"

int32_t FilterProc(FilterTable* fp, FrameInfo* fi) {
    GpuContext* context = g_context;
    if (!context) return 0;
    HostFunctions* host = fp->hostFunctions;
    if (!host || !fp->trackValues) return 0;
    if (host->setCacheSize(fp, fi->maxWidth, fi->maxHeight, 2, 0) != 1) return 0;
    const YcPixel* source = static_cast<const YcPixel*>(
        host->getCachedFrame(fp, fi->editHandle, fi->frameNumber, &fi->width, &fi->height));
    if (!source) return 0;

    if (fi->width != context->width || fi->height != context->height) g_rebuildNeeded = true;
    // The transfer kernels step through the host's images by the pitch of the last rebuild; a
    // new pitch at the same size would make them read and write outside the host's buffers.
    if (fi->maxWidth != context->pitch) g_rebuildNeeded = true;
    // Objects that are gone (a refused size, a failed creation, a switch-off) are rebuilt even
    // when the frame comes back to the size stored last.
    if (!FrameResourcesPresent(context)) g_rebuildNeeded = true;
    if (!CheckDevice()) return 0;

    // Each flag stays set until its work has fully taken, so the next frame tries again; no
    // frame renders with objects, bindings or parameters that are not all in place.
    if (g_rebuildNeeded) {
        ReleaseFrameResources(context);
        if (RebuildFrameResources(fi->width, fi->height, fi->maxWidth)) {
            g_rebuildNeeded = false;
            g_paramsDirty = true; // new objects always get the track values
        } else if (FrameSizeAccepted(fi->width, fi->height, fi->maxWidth)) {
            return 0; // a step failed and has said why
        }
        // A refused size has no objects: the upload below fails the frame with its message.
    }
    if (!g_rebuildNeeded && g_paramsDirty) {
        if (!context->effect || !ApplyTrackValues(context, fp->trackValues)) return 0;
        g_paramsDirty = false;
    }

    if (FAILED(UploadFrame(context, context->transferSurface, source, host->runParallel))) {
        ShowError(msg::kUploadFailed);
        return 0;
    }

    const int32_t mode = fp->trackValues[kestrin::kTrackMode];
    if (mode < 2) {
        if (!RenderFrame(mode, context)) return 0;
    } else {
        if (!context->transferSurface || !context->device || !context->worker) return 0;
        if (KickWorker(context->worker) != 0) return 0;
    }

    // Fetch ahead: the host is expected to keep its direction and stride. Worked in 64 bits; a
    // frame number that int32 cannot hold is not asked for.
    if (fp->trackValues[kestrin::kTrackMode] != 0) {
        const int64_t step = int64_t{fi->frameNumber} - g_prevFrame;
        const int64_t ahead = int64_t{fi->frameNumber} + step;
        if (step != 0 && ahead >= INT32_MIN && ahead <= INT32_MAX)
            host->getCachedFrame(fp, fi->editHandle, static_cast<int32_t>(ahead), nullptr, nullptr);
        g_prevFrame = fi->frameNumber;
    }

    if (!FinishFrame(fi->output, host->runParallel)) return 0;
    ForgetShownErrors(); // the failures are over: the next one is news again
    return 1;
}

bool FinishFrame(YcPixel* output, RunParallelFn runParallel) {
    GpuContext* context = g_context;
    RenderWorker* worker = context->worker;
    if (!worker) return false;
    const bool awaitable = worker->thread && !worker->stopRequested;
    if (!output) {
        // No job may outlive its frame: the next frame or FilterExit would race the worker.
        if (worker->jobPending) {
            worker->jobPending = 0;
            if (awaitable) WaitForSingleObject(worker->doneEvent, INFINITE);
        }
        return false;
    }
    if (worker->jobPending) {
        worker->jobPending = 0;
        if (!awaitable) return false; // the job never ran: there is nothing to download
        WaitForSingleObject(worker->doneEvent, INFINITE);
        // A job that did not both render and read back leaves the unfiltered upload in the
        // transfer surface; delivering that would pass the source off as the result.
        if (!worker->jobSucceeded) return false;
    } else if (FAILED(ReadBackResult(context))) {
        ShowError(msg::kResultCopyFailed);
        return false;
    }
    if (FAILED(DownloadFrame(context, output, context->transferSurface, runParallel))) {
        ShowError(msg::kDownloadFailed);
        return false;
    }
    return true;
}

namespace {

TransferLayout LayoutOf(const GpuContext* context) {
    return {context->width, context->height, context->pitch, context->texelFormat != kTexelSigned};
}

} // namespace

HRESULT UploadFrame(GpuContext* context, IDirect3DSurface9* surface, const YcPixel* source,
                    RunParallelFn runParallel) {
    if (!context->device || !surface) return D3DERR_INVALIDCALL;
    return UploadPixels(LayoutOf(context), surface, source, runParallel);
}

HRESULT DownloadFrame(GpuContext* context, YcPixel* output, IDirect3DSurface9* surface,
                      RunParallelFn runParallel) {
    if (!context->device || !surface) return D3DERR_INVALIDCALL;
    return DownloadPixels(LayoutOf(context), output, surface, runParallel);
}
