// Native build: the D3DX 9 vector and matrix types the effect interface takes.
#pragma once

#include "d3dx9.h"

typedef struct D3DXVECTOR4 {
    D3DXVECTOR4() = default; // uninitialised, as on Windows
    D3DXVECTOR4(const FLOAT* f) : x(f[0]), y(f[1]), z(f[2]), w(f[3]) {}
    D3DXVECTOR4(FLOAT fx, FLOAT fy, FLOAT fz, FLOAT fw) : x(fx), y(fy), z(fz), w(fw) {}
    operator FLOAT*() { return &x; }
    operator const FLOAT*() const { return &x; }
    bool operator==(const D3DXVECTOR4& o) const {
        return x == o.x && y == o.y && z == o.z && w == o.w;
    }
    bool operator!=(const D3DXVECTOR4& o) const { return !(*this == o); }

    FLOAT x;
    FLOAT y;
    FLOAT z;
    FLOAT w;
} D3DXVECTOR4, *LPD3DXVECTOR4;

typedef struct D3DXMATRIX : public D3DMATRIX {
    D3DXMATRIX() = default; // uninitialised, as on Windows
    D3DXMATRIX(const FLOAT* f) {
        for (int i = 0; i < 16; ++i) m[i / 4][i % 4] = f[i];
    }
    D3DXMATRIX(const D3DMATRIX& mat) : D3DMATRIX(mat) {}
    FLOAT& operator()(UINT row, UINT col) { return m[row][col]; }
    FLOAT operator()(UINT row, UINT col) const { return m[row][col]; }
    operator FLOAT*() { return &m[0][0]; }
    operator const FLOAT*() const { return &m[0][0]; }
} D3DXMATRIX, *LPD3DXMATRIX;

static_assert(sizeof(D3DXVECTOR4) == 16 && sizeof(D3DXMATRIX) == 64);
