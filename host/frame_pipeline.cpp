// FilterProc: one frame from the host's cache, through the card, into the host's output image.
#include "effect/track_mapping.h"
#include "gpu/device.h"
#include "gpu/frame_resources.h"
#include "gpu/gpu_context.h"
#include "gpu/messages.h"
#include "gpu/render.h"
#include "host/filter.h"
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
    if (!CheckDevice()) return 0;

    if (g_rebuildNeeded) {
        ReleaseFrameResources(context);
        RebuildFrameResources(fi->width, fi->height, fi->maxWidth);
        if (context->effect) ApplyTrackValues(context, fp->trackValues);
        g_rebuildNeeded = false;
        g_paramsDirty = false;
    } else if (g_paramsDirty) {
        if (context->effect) ApplyTrackValues(context, fp->trackValues);
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

    // Fetch ahead: the host is expected to keep its direction and stride.
    if (fp->trackValues[kestrin::kTrackMode] != 0) {
        const int32_t step = fi->frameNumber - g_prevFrame;
        if (step != 0)
            host->getCachedFrame(fp, fi->editHandle, fi->frameNumber + step, nullptr, nullptr);
        g_prevFrame = fi->frameNumber;
    }

    return FinishFrame(fi->output, host->runParallel) ? 1 : 0;
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
