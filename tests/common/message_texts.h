// What the plug-in tells the user, spelled in UTF-8 as hooks::MessageBoxRecord::utf8() gives it:
// the one list every test that checks a message box compares with. It is written out apart from
// the plug-in's own UTF-16 texts (gpu/messages.h), so that a slip in those shows up.
#pragma once

namespace kestrin::test_support::text {

inline constexpr const char* kDirect3DCreateFailed = "Direct3DCreate9()が失敗しました";
inline constexpr const char* kCreateDeviceFailed = "D3Dデバイスの作成に失敗しました";
inline constexpr const char* kSquareTexturesOnly = "非正方テクスチャを利用できません";
inline constexpr const char* kPowerOfTwoOnly = "2の累乗サイズ以外のテクスチャは利用できません";
inline constexpr const char* kNoPixelFormat = "利用可能なピクセルフォーマットがひとつもありません";
inline constexpr const char* kWorkerCreateFailed = "スレッド作成に失敗しました";
inline constexpr const char* kWorkerStartFailed = "スレッド初期化に失敗しました";
inline constexpr const char* kEffectLoadFailed = "エフェクトのロードに失敗しました";
inline constexpr const char* kDeclarationFailed = "頂点宣言の作成に失敗しました";
inline constexpr const char* kResetFailed = "デバイスリセットに失敗しました";
inline constexpr const char* kCooperativeLevelError = "TestCooperativeLevel()がエラーを返しました";
inline constexpr const char* kSurfaceCreateFailed = "サーフェスの作成に失敗しました";
inline constexpr const char* kQuadFailed = "頂点のセットに失敗しました";
inline constexpr const char* kTexture0Failed = "テクスチャ0の作成に失敗しました";
inline constexpr const char* kTexture1Failed = "テクスチャ1の作成に失敗しました";
inline constexpr const char* kTexture2Failed = "テクスチャ2の作成に失敗しました";
inline constexpr const char* kBindSourceFailed = "ソーステクスチャのセットに失敗しました";
inline constexpr const char* kBindTargetFailed = "RTテクスチャのセットに失敗しました";
inline constexpr const char* kBindPitchFailed = "オフセットのセットに失敗しました";
inline constexpr const char* kSetGainFailed = "パラメータ1のセットに失敗しました";
inline constexpr const char* kSetPixDistFailed = "パラメータ2のセットに失敗しました";
inline constexpr const char* kSetPosDistFailed = "パラメータの3セットに失敗しました";
inline constexpr const char* kSurfaceLevelFailed = "テクスチャサーフェスを取得できませんでした";
inline constexpr const char* kTargetLevelFailed = "RTテクスチャサーフェスを取得できませんでした";
inline constexpr const char* kReadBackFailed = "デバイスからコピーできませんでした";
inline constexpr const char* kUploadFailed = "サーフェスへコピーできませんでした";
inline constexpr const char* kResultCopyFailed = "RTデータのコピーに失敗しました";
inline constexpr const char* kDownloadFailed = "サーフェスからコピーできませんでした";

} // namespace kestrin::test_support::text
