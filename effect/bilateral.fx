// The bilateral filter effect: ten parameters, two samplers, and two techniques of three passes.
//
//   p0  Y, Cb, Cr -> R, G, B
//   p1  one 7 x 7 bilateral iteration over an R, G, B image (run passes - 1 times)
//   p2  the last iteration, back to Y, Cb, Cr, blended with the source by pixGain
//
// BilateralFiltering works on signed 16-bit texels (a host value s reads as s / 32767);
// BilateralFilteringU on unsigned ones holding the host value + 0x8000 (reads as h / 65535 + biasU,
// biasU = 32768 / 65535). The unsigned programs take biasU off before the colour matrices and put
// it back after them, and double every colour difference so that one host step weighs the same
// in both techniques.
//
// Registers. Every global has one register for all programs, and no two globals share one:
//   c0-c2  matYC2RGB, as columns      c3  pixGain     c4  pixDist
//   c5     posDist                    c6  posPitch    c7-c9  matRGB2YC, as columns
//   c10-c12 literal constants (def)   s0  samSrc      s1  samRGB
//
// The weight falloff (calcWeight), used for the spatial and the range weight at once in lanes
// x and y: t = sat(a * 0.36); w = ((t^2 rsq(t) + t^2 rsq(t)) - 3t) + 1, and exactly 1 where
// a <= 0 (there t^2 rsq(t) is 0 * infinity; the cmp discards it).

texture2D txSrc;
sampler samSrc : register(s0) = sampler_state {
    Texture = <txSrc>;
    AddressU = MIRROR;
    AddressV = MIRROR;
    MinFilter = POINT;
    MagFilter = POINT;
};

texture2D txRGB;
sampler samRGB : register(s1) = sampler_state {
    Texture = <txRGB>;
    AddressU = MIRROR;
    AddressV = MIRROR;
    MinFilter = POINT;
    MagFilter = POINT;
};

float pixGain : register(c3) = 0.0;
float pixDist : register(c4) = 0.0;
float posDist : register(c5) = 0.0;
float2 posPitch : register(c6) = {0.0, 0.0};

// Row by row: element [r][k] is the factor of input k in output r.
float3x3 matYC2RGB : register(c0) = {
    1.0, 0.0,      1.402,
    1.0, -0.34414, -0.71414,
    1.0, 1.772,    0.0
};
float3x3 matRGB2YC : register(c7) = {
    0.299,    0.587,    0.114,
    -0.16874, -0.33126, 0.5,
    0.5,      -0.41869, -0.08131
};

// p0, signed: rgb = Cb * column 1; rgb = Y * column 0 + rgb; rgb = Cr * column 2 + rgb.
PixelShader psYC2RGB = asm {
    ps_3_0
    def c11, -3.0, 1.0, 0.0, 0.0
    dcl_texcoord0 v0.xy
    dcl_2d s0
    texld r0, v0, s0
    mul r1.xyz, r0.y, c1
    mad r1.xyz, r0.x, c0, r1
    mad r1.xyz, r0.z, c2, r1
    mov r1.w, c11.z
    mov oC0, r1
};

// p0, unsigned: the same between taking biasU off and putting it back.
PixelShader psYC2RGBU = asm {
    ps_3_0
    def c11, -3.0, 1.0, 0.0, 0.0
    def c12, -0.50000762939453125, 0.50000762939453125, 0.0, 0.0
    dcl_texcoord0 v0.xy
    dcl_2d s0
    texld r0, v0, s0
    add r0.xyz, r0, c12.x
    mul r1.xyz, r0.y, c1
    mad r1.xyz, r0.x, c0, r1
    mad r1.xyz, r0.z, c2, r1
    add r1.xyz, r1, c12.y
    mov r1.w, c11.z
    mov oC0, r1
};

// p1, signed: one bilateral iteration. Per tap (dy outer, dx inner, -3..3 each):
//   p = posPitch * (dx, dy) + uv; s = tap at p, level 0; delta = centre - s;
//   ws = calcWeight((dx^2 + dy^2) * posDist); wr = calcWeight(|delta|^2 * pixDist);
//   w = ws * wr; W = w + W; S = s * w + S.       Result: S * rcp(W).
// Registers: r0 centre, r1 (S, W), r2 (dx, dy), r3 tap coordinate (z, w = 0), r4 tap,
// r5 delta, r6 (a_s, a_r), r7 t, r8 weights, r9 rsq / rcp.
PixelShader psFilter = asm {
    ps_3_0
    def c10, 0.36, -3.0, 1.0, 0.0
    def c11, -3.0, 1.0, 0.0, 0.0
    defi i0, 7, 0, 0, 0
    dcl_texcoord0 v0.xy
    dcl_2d s1
    texld r0, v0, s1
    mov r1, c11.z
    mov r3.zw, c11.z
    mov r2.y, c11.x
    rep i0
        mov r2.x, c11.x
        rep i0
            mad r3.xy, r2, c6, v0
            texldl r4, r3, s1
            add r5.xyz, r0, -r4
            dp3 r5.x, r5, r5
            mul r6.xy, r2, r2
            add r6.x, r6.x, r6.y
            mul r6.x, r6.x, c5.x
            mul r6.y, r5.x, c4.x
            mul_sat r7.xy, r6, c10.x
            mul r8.xy, r7, r7
            rsq r9.x, r7.x
            rsq r9.y, r7.y
            mul r8.xy, r8, r9
            add r8.xy, r8, r8
            mad r8.xy, r7, c10.y, r8
            add r8.xy, r8, c10.z
            cmp r8.xy, -r6, c10.z, r8
            mul r8.x, r8.x, r8.y
            add r1.w, r8.x, r1.w
            mad r1.xyz, r4, r8.x, r1
            add r2.x, r2.x, c10.z
        endrep
        add r2.y, r2.y, c10.z
    endrep
    rcp r9.x, r1.w
    mul r0.xyz, r1, r9.x
    mov r0.w, c11.z
    mov oC0, r0
};

// p1, unsigned: as psFilter with delta doubled; the result keeps biasU.
PixelShader psFilterU = asm {
    ps_3_0
    def c10, 0.36, -3.0, 1.0, 0.0
    def c11, -3.0, 1.0, 0.0, 0.0
    defi i0, 7, 0, 0, 0
    dcl_texcoord0 v0.xy
    dcl_2d s1
    texld r0, v0, s1
    mov r1, c11.z
    mov r3.zw, c11.z
    mov r2.y, c11.x
    rep i0
        mov r2.x, c11.x
        rep i0
            mad r3.xy, r2, c6, v0
            texldl r4, r3, s1
            add r5.xyz, r0, -r4
            add r5.xyz, r5, r5
            dp3 r5.x, r5, r5
            mul r6.xy, r2, r2
            add r6.x, r6.x, r6.y
            mul r6.x, r6.x, c5.x
            mul r6.y, r5.x, c4.x
            mul_sat r7.xy, r6, c10.x
            mul r8.xy, r7, r7
            rsq r9.x, r7.x
            rsq r9.y, r7.y
            mul r8.xy, r8, r9
            add r8.xy, r8, r8
            mad r8.xy, r7, c10.y, r8
            add r8.xy, r8, c10.z
            cmp r8.xy, -r6, c10.z, r8
            mul r8.x, r8.x, r8.y
            add r1.w, r8.x, r1.w
            mad r1.xyz, r4, r8.x, r1
            add r2.x, r2.x, c10.z
        endrep
        add r2.y, r2.y, c10.z
    endrep
    rcp r9.x, r1.w
    mul r0.xyz, r1, r9.x
    mov r0.w, c11.z
    mov oC0, r0
};

// p2, signed: the last iteration, then yc = G * column 1; yc = R * column 0 + yc;
// yc = B * column 2 + yc; out = pixGain * (yc - src) + src.
PixelShader psFilterRGB2YC = asm {
    ps_3_0
    def c10, 0.36, -3.0, 1.0, 0.0
    def c11, -3.0, 1.0, 0.0, 0.0
    defi i0, 7, 0, 0, 0
    dcl_texcoord0 v0.xy
    dcl_2d s0
    dcl_2d s1
    texld r0, v0, s1
    mov r1, c11.z
    mov r3.zw, c11.z
    mov r2.y, c11.x
    rep i0
        mov r2.x, c11.x
        rep i0
            mad r3.xy, r2, c6, v0
            texldl r4, r3, s1
            add r5.xyz, r0, -r4
            dp3 r5.x, r5, r5
            mul r6.xy, r2, r2
            add r6.x, r6.x, r6.y
            mul r6.x, r6.x, c5.x
            mul r6.y, r5.x, c4.x
            mul_sat r7.xy, r6, c10.x
            mul r8.xy, r7, r7
            rsq r9.x, r7.x
            rsq r9.y, r7.y
            mul r8.xy, r8, r9
            add r8.xy, r8, r8
            mad r8.xy, r7, c10.y, r8
            add r8.xy, r8, c10.z
            cmp r8.xy, -r6, c10.z, r8
            mul r8.x, r8.x, r8.y
            add r1.w, r8.x, r1.w
            mad r1.xyz, r4, r8.x, r1
            add r2.x, r2.x, c10.z
        endrep
        add r2.y, r2.y, c10.z
    endrep
    rcp r9.x, r1.w
    mul r0.xyz, r1, r9.x
    texld r10, v0, s0
    mul r11.xyz, r0.y, c8
    mad r11.xyz, r0.x, c7, r11
    mad r11.xyz, r0.z, c9, r11
    add r11.xyz, r11, -r10
    mad r11.xyz, c3.x, r11, r10
    mov r11.w, c11.z
    mov oC0, r11
};

// p2, unsigned: f = S * rcp(W) - biasU in one multiply-add; yc as above plus biasU; the blend
// then mixes two offset values, so the result carries the offset as the format requires.
PixelShader psFilterRGB2YCU = asm {
    ps_3_0
    def c10, 0.36, -3.0, 1.0, 0.0
    def c11, -3.0, 1.0, 0.0, 0.0
    def c12, -0.50000762939453125, 0.50000762939453125, 0.0, 0.0
    defi i0, 7, 0, 0, 0
    dcl_texcoord0 v0.xy
    dcl_2d s0
    dcl_2d s1
    texld r0, v0, s1
    mov r1, c11.z
    mov r3.zw, c11.z
    mov r2.y, c11.x
    rep i0
        mov r2.x, c11.x
        rep i0
            mad r3.xy, r2, c6, v0
            texldl r4, r3, s1
            add r5.xyz, r0, -r4
            add r5.xyz, r5, r5
            dp3 r5.x, r5, r5
            mul r6.xy, r2, r2
            add r6.x, r6.x, r6.y
            mul r6.x, r6.x, c5.x
            mul r6.y, r5.x, c4.x
            mul_sat r7.xy, r6, c10.x
            mul r8.xy, r7, r7
            rsq r9.x, r7.x
            rsq r9.y, r7.y
            mul r8.xy, r8, r9
            add r8.xy, r8, r8
            mad r8.xy, r7, c10.y, r8
            add r8.xy, r8, c10.z
            cmp r8.xy, -r6, c10.z, r8
            mul r8.x, r8.x, r8.y
            add r1.w, r8.x, r1.w
            mad r1.xyz, r4, r8.x, r1
            add r2.x, r2.x, c10.z
        endrep
        add r2.y, r2.y, c10.z
    endrep
    rcp r9.x, r1.w
    mad r0.xyz, r1, r9.x, c12.x
    texld r10, v0, s0
    mul r11.xyz, r0.y, c8
    mad r11.xyz, r0.x, c7, r11
    mad r11.xyz, r0.z, c9, r11
    add r11.xyz, r11, c12.y
    add r11.xyz, r11, -r10
    mad r11.xyz, c3.x, r11, r10
    mov r11.w, c11.z
    mov oC0, r11
};

technique BilateralFiltering {
    pass p0 {
        VertexShader = NULL;
        PixelShader = (psYC2RGB);
        ZEnable = FALSE;
    }
    pass p1 {
        VertexShader = NULL;
        PixelShader = (psFilter);
        ZEnable = FALSE;
    }
    pass p2 {
        VertexShader = NULL;
        PixelShader = (psFilterRGB2YC);
        ZEnable = FALSE;
    }
}

technique BilateralFilteringU {
    pass p0 {
        VertexShader = NULL;
        PixelShader = (psYC2RGBU);
        ZEnable = FALSE;
    }
    pass p1 {
        VertexShader = NULL;
        PixelShader = (psFilterU);
        ZEnable = FALSE;
    }
    pass p2 {
        VertexShader = NULL;
        PixelShader = (psFilterRGB2YCU);
        ZEnable = FALSE;
    }
}
