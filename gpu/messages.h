// Every text the filter shows the user, in one place. Each is shown once, by a message box at
// the place where the failure happens (see ShowError).
#pragma once

#include <wchar.h>

namespace msg {

// Device creation, capability probe, loss.
inline constexpr const wchar_t* kDirect3DCreateFailed = L"Direct3DCreate9()が失敗しました";
inline constexpr const wchar_t* kCreateDeviceFailed = L"D3Dデバイスの作成に失敗しました";
inline constexpr const wchar_t* kSquareTexturesOnly = L"非正方テクスチャを利用できません";
inline constexpr const wchar_t* kPowerOfTwoOnly = L"2の累乗サイズ以外のテクスチャは利用できません";
inline constexpr const wchar_t* kNoPixelFormat =
    L"利用可能なピクセルフォーマットがひとつもありません";
inline constexpr const wchar_t* kWorkerCreateFailed = L"スレッド作成に失敗しました";
inline constexpr const wchar_t* kWorkerStartFailed = L"スレッド初期化に失敗しました";
inline constexpr const wchar_t* kEffectLoadFailed = L"エフェクトのロードに失敗しました";
inline constexpr const wchar_t* kDeclarationFailed = L"頂点宣言の作成に失敗しました";
inline constexpr const wchar_t* kResetFailed = L"デバイスリセットに失敗しました";
inline constexpr const wchar_t* kCooperativeLevelError =
    L"TestCooperativeLevel()がエラーを返しました";

// Frame-size resources.
inline constexpr const wchar_t* kSurfaceCreateFailed = L"サーフェスの作成に失敗しました";
inline constexpr const wchar_t* kQuadFailed = L"頂点のセットに失敗しました";
inline constexpr const wchar_t* kTexture0Failed = L"テクスチャ0の作成に失敗しました";
inline constexpr const wchar_t* kTexture1Failed = L"テクスチャ1の作成に失敗しました";
inline constexpr const wchar_t* kTexture2Failed = L"テクスチャ2の作成に失敗しました";
inline constexpr const wchar_t* kBindSourceFailed = L"ソーステクスチャのセットに失敗しました";
inline constexpr const wchar_t* kBindTargetFailed = L"RTテクスチャのセットに失敗しました";
inline constexpr const wchar_t* kBindPitchFailed = L"オフセットのセットに失敗しました";

// Track values and the pass sequence.
inline constexpr const wchar_t* kSetGainFailed = L"パラメータ1のセットに失敗しました";
inline constexpr const wchar_t* kSetPixDistFailed = L"パラメータ2のセットに失敗しました";
inline constexpr const wchar_t* kSetPosDistFailed = L"パラメータの3セットに失敗しました";
inline constexpr const wchar_t* kSurfaceLevelFailed = L"テクスチャサーフェスを取得できませんでした";
inline constexpr const wchar_t* kTargetLevelFailed =
    L"RTテクスチャサーフェスを取得できませんでした";
inline constexpr const wchar_t* kReadBackFailed = L"デバイスからコピーできませんでした";

// The frame pipeline.
inline constexpr const wchar_t* kUploadFailed = L"サーフェスへコピーできませんでした";
inline constexpr const wchar_t* kResultCopyFailed = L"RTデータのコピーに失敗しました";
inline constexpr const wchar_t* kDownloadFailed = L"サーフェスからコピーできませんでした";

} // namespace msg
