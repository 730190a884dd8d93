// The GPU converter's compute shader itself, on Linux: the HLSL text that the
// Windows build hands to D3DCompile is compiled by glslang to SPIR-V at build
// time and run here through Vulkan on Mesa's CPU device (lavapipe), with the
// converter's constant layout and image formats. Its Y and UV bytes must be
// the model's, byte for byte.
#include <gtest/gtest.h>
#include <vulkan/vulkan.h>

#include <cstring>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "nv12_convert_spirv.h"
#include "pixels/nv12_shader_model.h"
#include "pixels_support.h"

// Mesa's CPU driver keeps a few bytes it never frees; they are not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libvulkan_lvp.so\n"; }

namespace nimbra {
namespace {

// Descriptor bindings as the build shifts the shader's registers:
// b0 -> 0, t0 -> 1, u0 -> 2, u1 -> 3.
constexpr std::uint32_t kConstantsBinding = 0, kSourceBinding = 1, kYBinding = 2, kUvBinding = 3;

void check(VkResult result, const char* step) {
  if (result != VK_SUCCESS) throw std::runtime_error(std::string(step) + ": VkResult " + std::to_string(result));
}

// Undoes creations in reverse order.
class Undo {
 public:
  Undo() = default;
  Undo(const Undo&) = delete;
  Undo& operator=(const Undo&) = delete;
  ~Undo() {
    for (auto step = steps_.rbegin(); step != steps_.rend(); ++step) (*step)();
  }
  void add(std::function<void()> step) { steps_.push_back(std::move(step)); }

 private:
  std::vector<std::function<void()>> steps_;
};

class LavapipeShader {
 public:
  LavapipeShader() {
    VkApplicationInfo app{};
    app.sType = VK_STRUCTURE_TYPE_APPLICATION_INFO;
    app.apiVersion = VK_API_VERSION_1_1;
    VkInstanceCreateInfo instance_info{};
    instance_info.sType = VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO;
    instance_info.pApplicationInfo = &app;
    check(vkCreateInstance(&instance_info, nullptr, &instance_), "vkCreateInstance");
    undo_.add([this] { vkDestroyInstance(instance_, nullptr); });
    pick_cpu_device();

    const float priority = 1.0f;
    VkDeviceQueueCreateInfo queue_info{};
    queue_info.sType = VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO;
    queue_info.queueFamilyIndex = queue_family_;
    queue_info.queueCount = 1;
    queue_info.pQueuePriorities = &priority;
    VkPhysicalDeviceFeatures features{};
    features.shaderStorageImageWriteWithoutFormat = VK_TRUE;  // UAVs are typed by their views, as in D3D
    VkDeviceCreateInfo device_info{};
    device_info.sType = VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO;
    device_info.queueCreateInfoCount = 1;
    device_info.pQueueCreateInfos = &queue_info;
    device_info.pEnabledFeatures = &features;
    check(vkCreateDevice(physical_, &device_info, nullptr, &device_), "vkCreateDevice");
    undo_.add([this] { vkDestroyDevice(device_, nullptr); });
    vkGetDeviceQueue(device_, queue_family_, 0, &queue_);
    create_pipeline();

    VkCommandPoolCreateInfo pool_info{};
    pool_info.sType = VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO;
    pool_info.queueFamilyIndex = queue_family_;
    check(vkCreateCommandPool(device_, &pool_info, nullptr, &command_pool_), "vkCreateCommandPool");
    undo_.add([this] { vkDestroyCommandPool(device_, command_pool_, nullptr); });
    const VkDescriptorPoolSize sizes[] = {{VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER, 1},
                                          {VK_DESCRIPTOR_TYPE_SAMPLED_IMAGE, 1},
                                          {VK_DESCRIPTOR_TYPE_STORAGE_IMAGE, 2}};
    VkDescriptorPoolCreateInfo descriptor_pool_info{};
    descriptor_pool_info.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_POOL_CREATE_INFO;
    descriptor_pool_info.maxSets = 1;
    descriptor_pool_info.poolSizeCount = 3;
    descriptor_pool_info.pPoolSizes = sizes;
    check(vkCreateDescriptorPool(device_, &descriptor_pool_info, nullptr, &descriptor_pool_), "vkCreateDescriptorPool");
    undo_.add([this] { vkDestroyDescriptorPool(device_, descriptor_pool_, nullptr); });
  }

  // One dispatch of the converter's shape: a B8G8R8A8 source, an R8 Y target
  // and an R8G8 UV target, both filled with 237 beforehand so that a pixel the
  // shader leaves out shows. Returns the NV12 bytes.
  Bytes convert(ByteView bgra, const Nv12ShaderConstants& constants) {
    Undo undo;
    const std::uint32_t width = constants.dst_width, height = constants.dst_height;
    const Buffer uniforms = buffer(sizeof constants, VK_BUFFER_USAGE_UNIFORM_BUFFER_BIT, undo);
    std::memcpy(uniforms.mapped, &constants, sizeof constants);
    const Image source =
        image({constants.src_width, constants.src_height}, VK_FORMAT_B8G8R8A8_UNORM, VK_IMAGE_USAGE_SAMPLED_BIT, undo);
    copy_rows(bgra.data(), constants.src_width * 4, static_cast<std::uint8_t*>(source.mapped), source.row_pitch,
              constants.src_width * 4, constants.src_height);
    const VkImageUsageFlags target_usage = VK_IMAGE_USAGE_STORAGE_BIT | VK_IMAGE_USAGE_TRANSFER_DST_BIT;
    const Image y = image({width, height}, VK_FORMAT_R8_UNORM, target_usage, undo);
    const Image uv = image({width / 2, height / 2}, VK_FORMAT_R8G8_UNORM, target_usage, undo);
    const VkDescriptorSet set = descriptors(uniforms, source, y, uv);
    undo.add([this] { vkResetDescriptorPool(device_, descriptor_pool_, 0); });

    VkCommandBufferAllocateInfo command_info{};
    command_info.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO;
    command_info.commandPool = command_pool_;
    command_info.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
    command_info.commandBufferCount = 1;
    VkCommandBuffer commands = VK_NULL_HANDLE;
    check(vkAllocateCommandBuffers(device_, &command_info, &commands), "vkAllocateCommandBuffers");
    undo.add([this, commands] { vkFreeCommandBuffers(device_, command_pool_, 1, &commands); });
    VkCommandBufferBeginInfo begin{};
    begin.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO;
    check(vkBeginCommandBuffer(commands, &begin), "vkBeginCommandBuffer");

    barrier(commands, source.image, VK_IMAGE_LAYOUT_PREINITIALIZED, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL);
    const VkClearColorValue marker{{237.0f / 255.0f, 237.0f / 255.0f, 0.0f, 0.0f}};
    const VkImageSubresourceRange all{VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
    for (VkImage target : {y.image, uv.image}) {
      barrier(commands, target, VK_IMAGE_LAYOUT_UNDEFINED, VK_IMAGE_LAYOUT_GENERAL);
      vkCmdClearColorImage(commands, target, VK_IMAGE_LAYOUT_GENERAL, &marker, 1, &all);
      barrier(commands, target, VK_IMAGE_LAYOUT_GENERAL, VK_IMAGE_LAYOUT_GENERAL);
    }
    vkCmdBindPipeline(commands, VK_PIPELINE_BIND_POINT_COMPUTE, pipeline_);
    vkCmdBindDescriptorSets(commands, VK_PIPELINE_BIND_POINT_COMPUTE, pipeline_layout_, 0, 1, &set, 0, nullptr);
    vkCmdDispatch(commands, (width / 2 + 7) / 8, (height / 2 + 7) / 8, 1);
    for (VkImage target : {y.image, uv.image})
      barrier(commands, target, VK_IMAGE_LAYOUT_GENERAL, VK_IMAGE_LAYOUT_GENERAL);
    check(vkEndCommandBuffer(commands), "vkEndCommandBuffer");

    VkSubmitInfo submit{};
    submit.sType = VK_STRUCTURE_TYPE_SUBMIT_INFO;
    submit.commandBufferCount = 1;
    submit.pCommandBuffers = &commands;
    check(vkQueueSubmit(queue_, 1, &submit, VK_NULL_HANDLE), "vkQueueSubmit");
    check(vkQueueWaitIdle(queue_), "vkQueueWaitIdle");

    Bytes nv12(std::size_t{width} * height * 3 / 2);
    copy_rows(static_cast<const std::uint8_t*>(y.mapped), y.row_pitch, nv12.data(), width, width, height);
    copy_rows(static_cast<const std::uint8_t*>(uv.mapped), uv.row_pitch, nv12.data() + std::size_t{width} * height,
              width, width, height / 2);
    return nv12;
  }

 private:
  struct Buffer {
    VkBuffer buffer;
    void* mapped;
  };
  // Linear and mapped, so that the test reads and writes its rows directly.
  struct Image {
    VkImage image;
    VkImageView view;
    void* mapped;
    VkDeviceSize row_pitch;
  };

  static void copy_rows(const std::uint8_t* from, std::size_t from_pitch, std::uint8_t* to, std::size_t to_pitch,
                        std::size_t row_bytes, std::size_t rows) {
    for (std::size_t row = 0; row < rows; ++row) std::memcpy(to + row * to_pitch, from + row * from_pitch, row_bytes);
  }

  void pick_cpu_device() {
    std::uint32_t count = 0;
    check(vkEnumeratePhysicalDevices(instance_, &count, nullptr), "vkEnumeratePhysicalDevices");
    std::vector<VkPhysicalDevice> devices(count);
    check(vkEnumeratePhysicalDevices(instance_, &count, devices.data()), "vkEnumeratePhysicalDevices");
    for (VkPhysicalDevice device : devices) {
      VkPhysicalDeviceProperties properties;
      vkGetPhysicalDeviceProperties(device, &properties);
      if (properties.deviceType == VK_PHYSICAL_DEVICE_TYPE_CPU) physical_ = device;
    }
    if (physical_ == VK_NULL_HANDLE) throw std::runtime_error("no Vulkan CPU device (mesa-vulkan-drivers)");
    count = 0;
    vkGetPhysicalDeviceQueueFamilyProperties(physical_, &count, nullptr);
    std::vector<VkQueueFamilyProperties> families(count);
    vkGetPhysicalDeviceQueueFamilyProperties(physical_, &count, families.data());
    for (std::uint32_t i = 0; i < count; ++i) {
      if (families[i].queueFlags & VK_QUEUE_COMPUTE_BIT) {
        queue_family_ = i;
        return;
      }
    }
    throw std::runtime_error("no compute queue");
  }

  void create_pipeline() {
    std::vector<std::uint32_t> code(sizeof kNv12ConvertSpirv / 4);
    std::memcpy(code.data(), kNv12ConvertSpirv, sizeof kNv12ConvertSpirv);
    VkShaderModuleCreateInfo module_info{};
    module_info.sType = VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO;
    module_info.codeSize = sizeof kNv12ConvertSpirv;
    module_info.pCode = code.data();
    check(vkCreateShaderModule(device_, &module_info, nullptr, &module_), "vkCreateShaderModule");
    undo_.add([this] { vkDestroyShaderModule(device_, module_, nullptr); });

    const auto binding = [](std::uint32_t number, VkDescriptorType type) {
      return VkDescriptorSetLayoutBinding{number, type, 1, VK_SHADER_STAGE_COMPUTE_BIT, nullptr};
    };
    const VkDescriptorSetLayoutBinding bindings[] = {binding(kConstantsBinding, VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER),
                                                     binding(kSourceBinding, VK_DESCRIPTOR_TYPE_SAMPLED_IMAGE),
                                                     binding(kYBinding, VK_DESCRIPTOR_TYPE_STORAGE_IMAGE),
                                                     binding(kUvBinding, VK_DESCRIPTOR_TYPE_STORAGE_IMAGE)};
    VkDescriptorSetLayoutCreateInfo set_info{};
    set_info.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO;
    set_info.bindingCount = 4;
    set_info.pBindings = bindings;
    check(vkCreateDescriptorSetLayout(device_, &set_info, nullptr, &set_layout_), "vkCreateDescriptorSetLayout");
    undo_.add([this] { vkDestroyDescriptorSetLayout(device_, set_layout_, nullptr); });
    VkPipelineLayoutCreateInfo layout_info{};
    layout_info.sType = VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO;
    layout_info.setLayoutCount = 1;
    layout_info.pSetLayouts = &set_layout_;
    check(vkCreatePipelineLayout(device_, &layout_info, nullptr, &pipeline_layout_), "vkCreatePipelineLayout");
    undo_.add([this] { vkDestroyPipelineLayout(device_, pipeline_layout_, nullptr); });

    VkComputePipelineCreateInfo pipeline_info{};
    pipeline_info.sType = VK_STRUCTURE_TYPE_COMPUTE_PIPELINE_CREATE_INFO;
    pipeline_info.stage.sType = VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO;
    pipeline_info.stage.stage = VK_SHADER_STAGE_COMPUTE_BIT;
    pipeline_info.stage.module = module_;
    pipeline_info.stage.pName = "main";
    pipeline_info.layout = pipeline_layout_;
    check(vkCreateComputePipelines(device_, VK_NULL_HANDLE, 1, &pipeline_info, nullptr, &pipeline_),
          "vkCreateComputePipelines");
    undo_.add([this] { vkDestroyPipeline(device_, pipeline_, nullptr); });
  }

  VkDeviceMemory memory(const VkMemoryRequirements& requirements, VkMemoryPropertyFlags flags, Undo& undo) {
    VkPhysicalDeviceMemoryProperties properties;
    vkGetPhysicalDeviceMemoryProperties(physical_, &properties);
    for (std::uint32_t i = 0; i < properties.memoryTypeCount; ++i) {
      if ((requirements.memoryTypeBits & (1u << i)) == 0) continue;
      if ((properties.memoryTypes[i].propertyFlags & flags) != flags) continue;
      VkMemoryAllocateInfo info{};
      info.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO;
      info.allocationSize = requirements.size;
      info.memoryTypeIndex = i;
      VkDeviceMemory memory = VK_NULL_HANDLE;
      check(vkAllocateMemory(device_, &info, nullptr, &memory), "vkAllocateMemory");
      undo.add([this, memory] { vkFreeMemory(device_, memory, nullptr); });
      return memory;
    }
    throw std::runtime_error("no suitable memory type");
  }

  Buffer buffer(VkDeviceSize size, VkBufferUsageFlags usage, Undo& undo) {
    VkBufferCreateInfo info{};
    info.sType = VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO;
    info.size = size;
    info.usage = usage;
    Buffer result{};
    check(vkCreateBuffer(device_, &info, nullptr, &result.buffer), "vkCreateBuffer");
    undo.add([this, b = result.buffer] { vkDestroyBuffer(device_, b, nullptr); });
    VkMemoryRequirements requirements;
    vkGetBufferMemoryRequirements(device_, result.buffer, &requirements);
    VkDeviceMemory backing =
        memory(requirements, VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT, undo);
    check(vkBindBufferMemory(device_, result.buffer, backing, 0), "vkBindBufferMemory");
    check(vkMapMemory(device_, backing, 0, VK_WHOLE_SIZE, 0, &result.mapped), "vkMapMemory");
    return result;
  }

  Image image(Size size, VkFormat format, VkImageUsageFlags usage, Undo& undo) {
    VkImageCreateInfo info{};
    info.sType = VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO;
    info.imageType = VK_IMAGE_TYPE_2D;
    info.format = format;
    info.extent = {size.width, size.height, 1};
    info.mipLevels = 1;
    info.arrayLayers = 1;
    info.samples = VK_SAMPLE_COUNT_1_BIT;
    info.tiling = VK_IMAGE_TILING_LINEAR;
    info.usage = usage;
    info.initialLayout = VK_IMAGE_LAYOUT_PREINITIALIZED;
    Image result{};
    check(vkCreateImage(device_, &info, nullptr, &result.image), "vkCreateImage");
    undo.add([this, i = result.image] { vkDestroyImage(device_, i, nullptr); });
    VkMemoryRequirements requirements;
    vkGetImageMemoryRequirements(device_, result.image, &requirements);
    const VkDeviceMemory backing =
        memory(requirements, VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT, undo);
    check(vkBindImageMemory(device_, result.image, backing, 0), "vkBindImageMemory");
    const VkImageSubresource first{VK_IMAGE_ASPECT_COLOR_BIT, 0, 0};
    VkSubresourceLayout layout;
    vkGetImageSubresourceLayout(device_, result.image, &first, &layout);
    check(vkMapMemory(device_, backing, layout.offset, VK_WHOLE_SIZE, 0, &result.mapped), "vkMapMemory");
    result.row_pitch = layout.rowPitch;
    VkImageViewCreateInfo view_info{};
    view_info.sType = VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO;
    view_info.image = result.image;
    view_info.viewType = VK_IMAGE_VIEW_TYPE_2D;
    view_info.format = format;
    view_info.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
    check(vkCreateImageView(device_, &view_info, nullptr, &result.view), "vkCreateImageView");
    undo.add([this, v = result.view] { vkDestroyImageView(device_, v, nullptr); });
    return result;
  }

  VkDescriptorSet descriptors(const Buffer& uniforms, const Image& source, const Image& y, const Image& uv) {
    VkDescriptorSetAllocateInfo info{};
    info.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_SET_ALLOCATE_INFO;
    info.descriptorPool = descriptor_pool_;
    info.descriptorSetCount = 1;
    info.pSetLayouts = &set_layout_;
    VkDescriptorSet set = VK_NULL_HANDLE;
    check(vkAllocateDescriptorSets(device_, &info, &set), "vkAllocateDescriptorSets");
    const VkDescriptorBufferInfo constants{uniforms.buffer, 0, sizeof(Nv12ShaderConstants)};
    const VkDescriptorImageInfo images[] = {{VK_NULL_HANDLE, source.view, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL},
                                            {VK_NULL_HANDLE, y.view, VK_IMAGE_LAYOUT_GENERAL},
                                            {VK_NULL_HANDLE, uv.view, VK_IMAGE_LAYOUT_GENERAL}};
    const auto write = [set](std::uint32_t binding, VkDescriptorType type) {
      VkWriteDescriptorSet w{};
      w.sType = VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET;
      w.dstSet = set;
      w.dstBinding = binding;
      w.descriptorCount = 1;
      w.descriptorType = type;
      return w;
    };
    VkWriteDescriptorSet writes[] = {write(kConstantsBinding, VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER),
                                     write(kSourceBinding, VK_DESCRIPTOR_TYPE_SAMPLED_IMAGE),
                                     write(kYBinding, VK_DESCRIPTOR_TYPE_STORAGE_IMAGE),
                                     write(kUvBinding, VK_DESCRIPTOR_TYPE_STORAGE_IMAGE)};
    writes[0].pBufferInfo = &constants;
    for (int i = 0; i < 3; ++i) writes[i + 1].pImageInfo = &images[i];
    vkUpdateDescriptorSets(device_, 4, writes, 0, nullptr);
    return set;
  }

  // A full barrier between every stage and the host is plenty for a test.
  static void barrier(VkCommandBuffer commands, VkImage image, VkImageLayout from, VkImageLayout to) {
    VkImageMemoryBarrier image_barrier{};
    image_barrier.sType = VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER;
    image_barrier.srcAccessMask = VK_ACCESS_MEMORY_WRITE_BIT;
    image_barrier.dstAccessMask = VK_ACCESS_MEMORY_READ_BIT | VK_ACCESS_MEMORY_WRITE_BIT | VK_ACCESS_HOST_READ_BIT;
    image_barrier.oldLayout = from;
    image_barrier.newLayout = to;
    image_barrier.srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    image_barrier.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    image_barrier.image = image;
    image_barrier.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
    vkCmdPipelineBarrier(commands, VK_PIPELINE_STAGE_ALL_COMMANDS_BIT,
                         VK_PIPELINE_STAGE_ALL_COMMANDS_BIT | VK_PIPELINE_STAGE_HOST_BIT, 0, 0, nullptr, 0, nullptr, 1,
                         &image_barrier);
  }

  Undo undo_;
  VkInstance instance_ = VK_NULL_HANDLE;
  VkPhysicalDevice physical_ = VK_NULL_HANDLE;
  std::uint32_t queue_family_ = 0;
  VkDevice device_ = VK_NULL_HANDLE;
  VkQueue queue_ = VK_NULL_HANDLE;
  VkShaderModule module_ = VK_NULL_HANDLE;
  VkDescriptorSetLayout set_layout_ = VK_NULL_HANDLE;
  VkPipelineLayout pipeline_layout_ = VK_NULL_HANDLE;
  VkPipeline pipeline_ = VK_NULL_HANDLE;
  VkCommandPool command_pool_ = VK_NULL_HANDLE;
  VkDescriptorPool descriptor_pool_ = VK_NULL_HANDLE;
};

// Where the first differing byte lies, in words a reader can find.
std::string first_difference(const Bytes& shader, const Bytes& model, std::uint32_t width) {
  const std::size_t y_bytes = std::size_t{width} * (shader.size() * 2 / 3 / width);
  std::size_t count = 0, first = shader.size();
  for (std::size_t i = 0; i < shader.size(); ++i) {
    if (shader[i] == model[i]) continue;
    if (count++ == 0) first = i;
  }
  if (count == 0) return "";
  const bool luma = first < y_bytes;
  const std::size_t offset = luma ? first : first - y_bytes;
  return std::to_string(count) + " bytes differ, first " + (luma ? "Y" : "UV") + " at (" +
         std::to_string(offset % width) + ", " + std::to_string(offset / width) + "): shader " +
         std::to_string(shader[first]) + ", model " + std::to_string(model[first]);
}

TEST(Nv12ConvertShader, EqualsTheModelDownUpAndAtOddRatios) {
  // Never destroyed: unloading Mesa's driver strands an allocation of its own
  // that LeakSanitizer would report.
  static LavapipeShader& shader = *new LavapipeShader;
  std::mt19937 rng(2024);
  struct Case {
    Size source, target;
    float scale_x = 0;  // replaces the computed factor when set
  };
  const Case cases[] = {
      {{1920, 1080}, {1280, 720}},  // 3:2, weights 4:2:2:1
      {{2560, 1440}, {1280, 720}},  // 2:1, exact quarter sums
      {{1280, 720}, {1280, 720}},   // 1:1, every value an exact integer
      {{640, 360}, {1280, 720}},    // 1:2 up
      {{333, 187}, {1280, 720}},    // odd up ratios
      {{1366, 768}, {1280, 720}},   // odd down ratios
      {{1920, 1080}, {642, 362}},   // thread groups reach past the picture
      {{7, 5}, {4, 2}},
      {{6, 4}, {12, 4}, 1.0f},  // the right half lies past the source
  };
  for (const Case& c : cases) {
    const Bytes bgra = testing::random_bytes(rng, std::size_t{c.source.width} * c.source.height * 4);
    Nv12ShaderConstants constants = nv12_shader_constants(c.source, c.target);
    if (c.scale_x != 0) constants.scale_x = c.scale_x;
    Bytes model(std::size_t{c.target.width} * c.target.height * 3 / 2);
    nv12_shader_model(bgra, constants, model);
    EXPECT_EQ(first_difference(shader.convert(bgra, constants), model, c.target.width), "")
        << c.source.width << "x" << c.source.height << " -> " << c.target.width << "x" << c.target.height;
  }
}

}  // namespace
}  // namespace nimbra
