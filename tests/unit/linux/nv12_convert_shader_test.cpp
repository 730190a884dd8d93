// The GPU converter's HLSL shader itself (compiled by glslang at build time) on
// Mesa's CPU Vulkan device, with the converter's constants and image formats:
// the only place the shader runs in the suite. Its bytes must be the model's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vulkan/vulkan.hpp>

#include "nv12_convert_spirv.h"
#include "pixels/nv12_shader_model.h"
#include "pixels_support.h"

// Mesa's CPU driver keeps a few bytes it never frees; they are not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libvulkan_lvp.so\n"; }

namespace nimbra {
namespace {

constexpr vk::ImageSubresourceRange kColour{vk::ImageAspectFlagBits::eColor, 0, 1, 0, 1};

// A linear image in host-visible memory, written and read through its rows.
struct Image {
  vk::Image image;
  vk::ImageView view;
  std::uint8_t* rows;  // through the row pitch
  vk::DeviceSize pitch;
};

// The pipeline with constants, a B8G8R8A8 source and R8 / R8G8 targets at the largest sizes used (each case takes
// their top-left corner); bindings are the registers as the build shifts them. Failures throw.
class Lavapipe {
 public:
  Lavapipe() {
    const vk::ApplicationInfo app(nullptr, 0, nullptr, 0, VK_API_VERSION_1_1);
    for (vk::PhysicalDevice device : vk::createInstance({{}, &app}).enumeratePhysicalDevices()) {
      if (device.getProperties().deviceType == vk::PhysicalDeviceType::eCpu) gpu_ = device;
    }
    if (!gpu_) throw std::runtime_error("no Vulkan CPU device (mesa-vulkan-drivers)");
    const float priority = 1.0f;
    const vk::DeviceQueueCreateInfo queue({}, 0, 1, &priority);  // lavapipe's one queue family does everything
    vk::PhysicalDeviceFeatures features;
    features.shaderStorageImageWriteWithoutFormat = true;  // UAVs are typed by their views, as in D3D
    device_ = gpu_.createDevice({{}, queue, {}, {}, &features});

    using Type = vk::DescriptorType;
    const Type types[] = {Type::eUniformBuffer, Type::eSampledImage, Type::eStorageImage, Type::eStorageImage};
    std::vector<vk::DescriptorSetLayoutBinding> bindings;
    std::vector<vk::DescriptorPoolSize> sizes;
    for (std::uint32_t i = 0; i < 4; ++i) bindings.emplace_back(i, types[i], 1, vk::ShaderStageFlagBits::eCompute), sizes.emplace_back(types[i], 1);
    const vk::DescriptorSetLayout set_layout = device_.createDescriptorSetLayout({{}, bindings});
    layout_ = device_.createPipelineLayout({{}, set_layout});
    std::vector<std::uint32_t> code(sizeof kNv12ConvertSpirv / 4);
    std::memcpy(code.data(), kNv12ConvertSpirv, sizeof kNv12ConvertSpirv);
    const vk::PipelineShaderStageCreateInfo stage({}, vk::ShaderStageFlagBits::eCompute,
                                                  device_.createShaderModule({{}, code}), "main");
    pipeline_ = device_.createComputePipeline(nullptr, {{}, stage, layout_}).value;

    const vk::Buffer buffer = device_.createBuffer({{}, sizeof(Nv12ShaderConstants), vk::BufferUsageFlagBits::eUniformBuffer});
    const vk::DeviceMemory memory = allocate(device_.getBufferMemoryRequirements(buffer));
    device_.bindBufferMemory(buffer, memory, 0);
    constants_ = device_.mapMemory(memory, 0, VK_WHOLE_SIZE);
    source_ = image(vk::Format::eB8G8R8A8Unorm, 2560, 1440, vk::ImageUsageFlagBits::eSampled);
    y_ = image(vk::Format::eR8Unorm, 1280, 720, vk::ImageUsageFlagBits::eStorage);
    uv_ = image(vk::Format::eR8G8Unorm, 640, 360, vk::ImageUsageFlagBits::eStorage);

    set_ = device_.allocateDescriptorSets({device_.createDescriptorPool({{}, 1, sizes}), set_layout}).front();
    const vk::DescriptorBufferInfo uniform(buffer, 0, VK_WHOLE_SIZE);
    const vk::DescriptorImageInfo views[] = {{{}, source_.view, vk::ImageLayout::eGeneral},
                                             {{}, y_.view, vk::ImageLayout::eGeneral},
                                             {{}, uv_.view, vk::ImageLayout::eGeneral}};
    std::vector<vk::WriteDescriptorSet> writes{{set_, 0, 0, types[0], {}, uniform}};
    for (std::uint32_t i = 1; i < 4; ++i) writes.emplace_back(set_, i, 0, types[i], views[i - 1]);
    device_.updateDescriptorSets(writes, {});

    const vk::CommandPool pool = device_.createCommandPool({vk::CommandPoolCreateFlagBits::eResetCommandBuffer, 0});
    commands_ = device_.allocateCommandBuffers({pool, vk::CommandBufferLevel::ePrimary, 1}).front();
  }

  // One dispatch of the converter's shape; the targets are prefilled so that a byte left out shows.
  Bytes convert(ByteView bgra, const Nv12ShaderConstants& constants) {
    const std::size_t width = constants.dst_width, height = constants.dst_height, row = constants.src_width * 4;
    std::memcpy(constants_, &constants, sizeof constants);
    for (std::size_t y = 0; y < constants.src_height; ++y) std::memcpy(source_.rows + y * source_.pitch, &bgra[y * row], row);
    std::memset(y_.rows, 237, y_.pitch * height);
    std::memset(uv_.rows, 237, uv_.pitch * height / 2);
    commands_.begin(vk::CommandBufferBeginInfo());
    if (first_) {  // the images pass from the host's hands to the shader's, once
      std::vector<vk::ImageMemoryBarrier> general;
      for (const Image* target : {&source_, &y_, &uv_}) {
        general.emplace_back(vk::AccessFlagBits::eHostWrite, vk::AccessFlagBits::eShaderRead | vk::AccessFlagBits::eShaderWrite,
                             vk::ImageLayout::ePreinitialized, vk::ImageLayout::eGeneral, VK_QUEUE_FAMILY_IGNORED,
                             VK_QUEUE_FAMILY_IGNORED, target->image, kColour);
      }
      commands_.pipelineBarrier(vk::PipelineStageFlagBits::eHost, vk::PipelineStageFlagBits::eComputeShader, {}, {}, {}, general);
      first_ = false;
    }
    commands_.bindPipeline(vk::PipelineBindPoint::eCompute, pipeline_);
    commands_.bindDescriptorSets(vk::PipelineBindPoint::eCompute, layout_, 0, set_, {});
    commands_.dispatch(static_cast<std::uint32_t>(width / 2 + 7) / 8, static_cast<std::uint32_t>(height / 2 + 7) / 8, 1);
    commands_.pipelineBarrier(vk::PipelineStageFlagBits::eComputeShader, vk::PipelineStageFlagBits::eHost, {},
                              vk::MemoryBarrier(vk::AccessFlagBits::eShaderWrite, vk::AccessFlagBits::eHostRead), {}, {});
    commands_.end();
    device_.getQueue(0, 0).submit(vk::SubmitInfo({}, {}, commands_));
    device_.getQueue(0, 0).waitIdle();
    Bytes nv12(width * height * 3 / 2);
    for (std::size_t y = 0; y < height; ++y) std::memcpy(&nv12[y * width], y_.rows + y * y_.pitch, width);
    for (std::size_t y = 0; y < height / 2; ++y) std::memcpy(&nv12[(height + y) * width], uv_.rows + y * uv_.pitch, width);
    return nv12;
  }

 private:
  vk::DeviceMemory allocate(const vk::MemoryRequirements& needs) {
    const vk::PhysicalDeviceMemoryProperties memory = gpu_.getMemoryProperties();
    const auto host = vk::MemoryPropertyFlagBits::eHostVisible | vk::MemoryPropertyFlagBits::eHostCoherent;
    for (std::uint32_t type = 0; type < memory.memoryTypeCount; ++type) {
      if ((needs.memoryTypeBits >> type & 1) && (memory.memoryTypes[type].propertyFlags & host) == host) {
        return device_.allocateMemory({needs.size, type});
      }
    }
    throw std::runtime_error("no host-visible memory");
  }

  Image image(vk::Format format, std::uint32_t width, std::uint32_t height, vk::ImageUsageFlags usage) {
    Image result;
    result.image = device_.createImage({{}, vk::ImageType::e2D, format, {width, height, 1}, 1, 1, vk::SampleCountFlagBits::e1,
                                        vk::ImageTiling::eLinear, usage, vk::SharingMode::eExclusive, {},
                                        vk::ImageLayout::ePreinitialized});
    const vk::DeviceMemory memory = allocate(device_.getImageMemoryRequirements(result.image));
    device_.bindImageMemory(result.image, memory, 0);
    const vk::SubresourceLayout layout = device_.getImageSubresourceLayout(result.image, {vk::ImageAspectFlagBits::eColor, 0, 0});
    result.rows = static_cast<std::uint8_t*>(device_.mapMemory(memory, 0, VK_WHOLE_SIZE)) + layout.offset;
    result.pitch = layout.rowPitch;
    result.view = device_.createImageView({{}, result.image, vk::ImageViewType::e2D, format, {}, kColour});
    return result;
  }

  vk::PhysicalDevice gpu_;
  vk::Device device_;
  vk::PipelineLayout layout_;
  vk::Pipeline pipeline_;
  vk::DescriptorSet set_;
  vk::CommandBuffer commands_;
  void* constants_;
  Image source_, y_, uv_;
  bool first_ = true;
};

TEST(Nv12ConvertShader, EqualsTheModelDownUpAndAtOddRatios) {
  // Never destroyed: unloading Mesa's driver strands an allocation LeakSanitizer would report.
  static Lavapipe& shader = *new Lavapipe;
  std::mt19937 rng(2024);
  struct Case {
    Size source, target;
    float scale_x = 0;  // replaces the computed factor when set
  };
  const Case cases[] = {
      {{1920, 1080}, {1280, 720}},  // 3:2, weights 4:2:2:1
      {{2560, 1440}, {1280, 720}},  // 2:1, exact quarter sums
      {{1280, 720}, {1280, 720}},   // 1:1, every value an exact integer
      {{333, 187}, {1280, 720}},    // odd up ratios
      {{1366, 768}, {1280, 720}},   // odd down ratios
      {{1920, 1080}, {642, 362}},   // thread groups reach past the picture
      {{6, 4}, {12, 4}, 1.0f},  // the right half lies past the source
  };
  for (const Case& c : cases) {
    const Bytes bgra = testing::random_bytes(rng, std::size_t{c.source.width} * c.source.height * 4);
    Nv12ShaderConstants constants = nv12_shader_constants(c.source, c.target);
    if (c.scale_x != 0) constants.scale_x = c.scale_x;
    Bytes model(std::size_t{c.target.width} * c.target.height * 3 / 2);
    nv12_shader_model(bgra, constants, model);
    const Bytes gpu = shader.convert(bgra, constants);
    const std::size_t at = std::ranges::mismatch(gpu, model).in1 - gpu.begin();
    EXPECT_EQ(at, gpu.size()) << c.source.width << "x" << c.source.height << " -> " << c.target.width << "x"
                              << c.target.height << " (UV from " << model.size() * 2 / 3 << ")";
  }
}

}  // namespace
}  // namespace nimbra
