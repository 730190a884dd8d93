// BGRA desktop image to NV12 at another size, in one pass: each thread owns a
// 2x2 block of output pixels and its chroma sample. A pixel is the
// area-weighted mean of the source texels its rectangle covers, then the
// BT.601 limited-range matrix (the CPU converter's integer factors / 256).
//
// The arithmetic is pinned down so that every implementation produces the
// same bytes as the C++ model of this shader (pixels/nv12_shader_model.cpp):
// texels are brought back to exact integers 0..255 whatever the precision of
// the format conversion on load, sums are `precise` (no fused multiply-add,
// no reordering), and the shader rounds to the output code itself, so the
// UNORM store only ever sees exact codes and its own tie rule never matters.

cbuffer Params : register(b0)
{
    uint2 SrcSize;
    uint2 DstSize;
    float2 Scale;  // source size / output size, per axis
    float2 Pad;
};

Texture2D<float4> Src : register(t0);
RWTexture2D<float> OutY : register(u0);
RWTexture2D<float2> OutUV : register(u1);

float3 texel(int sx, int sy)
{
    return round(Src.Load(int3(sx, sy, 0)).rgb * 255.0f);
}

// Weighted mean of the texels under [px, px + 1) x [py, py + 1) of the output
// grid, in source units; 0 where no texel lies under it.
float3 area_mean(uint px, uint py)
{
    precise float fx0 = (float)px * Scale.x;
    precise float fx1 = (float)(px + 1) * Scale.x;
    precise float fy0 = (float)py * Scale.y;
    precise float fy1 = (float)(py + 1) * Scale.y;
    int x_begin = (int)floor(fx0);
    int x_end = min((int)ceil(fx1), (int)SrcSize.x);
    int y_begin = (int)floor(fy0);
    int y_end = min((int)ceil(fy1), (int)SrcSize.y);

    precise float3 sum = float3(0.0f, 0.0f, 0.0f);
    precise float weight_sum = 0.0f;
    for (int sy = y_begin; sy < y_end; ++sy)
    {
        precise float wy = min((float)(sy + 1), fy1) - max((float)sy, fy0);
        for (int sx = x_begin; sx < x_end; ++sx)
        {
            precise float w = (min((float)(sx + 1), fx1) - max((float)sx, fx0)) * wy;
            if (w <= 0.0f)
                continue;
            sum = sum + w * texel(sx, sy);
            weight_sum = weight_sum + w;
        }
    }
    precise float3 mean = sum / max(weight_sum, 0.000001f);
    return mean;
}

// The nearest code (halves up), clamped to a byte, as a UNORM value whose
// store gives back exactly that code.
float unorm_code(float value)
{
    precise float code = clamp(floor(value + 0.5f), 0.0f, 255.0f);
    return code / 255.0f;
}

float luma(float3 rgb)
{
    precise float y = 0.2578125f * rgb.r + 0.50390625f * rgb.g + 0.09765625f * rgb.b + 16.0f;
    return unorm_code(y);
}

[numthreads(8, 8, 1)]
void main(uint3 id : SV_DispatchThreadID)
{
    uint2 p = id.xy * 2;
    if (p.x >= DstSize.x || p.y >= DstSize.y)
        return;

    float3 rgb00 = area_mean(p.x, p.y);
    float3 rgb10 = area_mean(p.x + 1, p.y);
    float3 rgb01 = area_mean(p.x, p.y + 1);
    float3 rgb11 = area_mean(p.x + 1, p.y + 1);
    OutY[p] = luma(rgb00);
    OutY[p + uint2(1, 0)] = luma(rgb10);
    OutY[p + uint2(0, 1)] = luma(rgb01);
    OutY[p + uint2(1, 1)] = luma(rgb11);

    precise float3 block = (rgb00 + rgb10 + rgb01 + rgb11) * 0.25f;
    precise float u = -0.1484375f * block.r - 0.2890625f * block.g + 0.4375f * block.b + 128.0f;
    precise float v = 0.4375f * block.r - 0.3671875f * block.g - 0.0703125f * block.b + 128.0f;
    OutUV[id.xy] = float2(unorm_code(u), unorm_code(v));
}
