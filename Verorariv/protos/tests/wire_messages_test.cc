// Every wire message survives a round trip through its generated class, with every field set, and
// the service has the four calls in their streaming shapes.
#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>
#include <google/protobuf/util/message_differencer.h>
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "variru/verorariv/v1/verorariv.grpc.pb.h"
#include "variru/verorariv/v1/verorariv.pb.h"

namespace {

using google::protobuf::Descriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::FileDescriptor;
using google::protobuf::Message;
using google::protobuf::MessageFactory;
using google::protobuf::Reflection;
using google::protobuf::util::MessageDifferencer;
namespace v1 = variru::verorariv::v1;

// The wire files use no proto3 "optional", so every one-of is a real one.
// Nested messages deeper than this stay empty (Value and ArrayValue refer to each other).
constexpr int kMaxDepth = 3;

void CollectMessages(const Descriptor* type, std::vector<const Descriptor*>* out) {
  if (type->options().map_entry()) return;
  out->push_back(type);
  for (int i = 0; i < type->nested_type_count(); ++i) CollectMessages(type->nested_type(i), out);
}

std::vector<const Descriptor*> AllWireMessages() {
  // Referencing the service file links every generated file it imports.
  const FileDescriptor* root = v1::ListenRequest::descriptor()->file();
  std::vector<const FileDescriptor*> files{root};
  std::set<std::string> seen{root->name()};
  std::vector<const Descriptor*> out;
  for (size_t i = 0; i < files.size(); ++i) {
    const FileDescriptor* file = files[i];
    for (int d = 0; d < file->dependency_count(); ++d) {
      const FileDescriptor* dep = file->dependency(d);
      if (dep->package().rfind("variru.", 0) == 0 && seen.insert(dep->name()).second) files.push_back(dep);
    }
    for (int m = 0; m < file->message_type_count(); ++m) CollectMessages(file->message_type(m), &out);
  }
  return out;
}

// Largest member count of any one-of in the type (1 without one-ofs).
int ChoiceCount(const Descriptor* type) {
  int n = 1;
  for (int i = 0; i < type->oneof_decl_count(); ++i) n = std::max(n, type->oneof_decl(i)->field_count());
  return n;
}

void Fill(Message* message, int depth, int choice);

void SetScalar(Message* message, const FieldDescriptor* field, int salt) {
  const Reflection* r = message->GetReflection();
  const bool repeated = field->is_repeated();
  switch (field->cpp_type()) {
    case FieldDescriptor::CPPTYPE_INT32:
      repeated ? r->AddInt32(message, field, -7 - salt) : r->SetInt32(message, field, -7 - salt);
      break;
    case FieldDescriptor::CPPTYPE_INT64:
      repeated ? r->AddInt64(message, field, (int64_t{1} << 62) + salt)
               : r->SetInt64(message, field, (int64_t{1} << 62) + salt);
      break;
    case FieldDescriptor::CPPTYPE_UINT32:
      repeated ? r->AddUInt32(message, field, 7u + salt) : r->SetUInt32(message, field, 7u + salt);
      break;
    case FieldDescriptor::CPPTYPE_UINT64:
      repeated ? r->AddUInt64(message, field, 7u + salt) : r->SetUInt64(message, field, 7u + salt);
      break;
    case FieldDescriptor::CPPTYPE_DOUBLE:
      repeated ? r->AddDouble(message, field, -0.25 - salt) : r->SetDouble(message, field, -0.25 - salt);
      break;
    case FieldDescriptor::CPPTYPE_FLOAT:
      repeated ? r->AddFloat(message, field, 0.5f + salt) : r->SetFloat(message, field, 0.5f + salt);
      break;
    case FieldDescriptor::CPPTYPE_BOOL:
      repeated ? r->AddBool(message, field, true) : r->SetBool(message, field, true);
      break;
    case FieldDescriptor::CPPTYPE_ENUM: {
      // The last value: never the default.
      const auto* value = field->enum_type()->value(field->enum_type()->value_count() - 1);
      repeated ? r->AddEnum(message, field, value) : r->SetEnum(message, field, value);
      break;
    }
    case FieldDescriptor::CPPTYPE_STRING: {
      std::string text = field->name() + "-" + std::to_string(salt);
      if (field->type() == FieldDescriptor::TYPE_BYTES) text += std::string("\0\xff", 2);
      repeated ? r->AddString(message, field, text) : r->SetString(message, field, text);
      break;
    }
    case FieldDescriptor::CPPTYPE_MESSAGE:
      break;
  }
}

void SetField(Message* message, const FieldDescriptor* field, int depth, int choice) {
  const Reflection* r = message->GetReflection();
  if (field->is_map()) {
    for (int salt = 0; salt < 2; ++salt) {
      Message* entry = r->AddMessage(message, field);
      const Descriptor* entry_type = entry->GetDescriptor();
      SetScalar(entry, entry_type->map_key(), salt);
      const FieldDescriptor* value = entry_type->map_value();
      if (value->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
        Fill(entry->GetReflection()->MutableMessage(entry, value), depth + 1, choice + salt);
      } else {
        SetScalar(entry, value, salt);
      }
    }
    return;
  }
  if (field->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
    if (field->is_repeated()) {
      for (int salt = 0; salt < 2; ++salt) Fill(r->AddMessage(message, field), depth + 1, choice + salt);
    } else {
      Fill(r->MutableMessage(message, field), depth + 1, choice);
    }
    return;
  }
  if (field->is_repeated()) {
    SetScalar(message, field, 0);
    SetScalar(message, field, 1);
  } else {
    SetScalar(message, field, depth);
  }
}

// Sets every field; in each one-of, the member `choice` (modulo its size).
void Fill(Message* message, int depth, int choice) {
  if (depth > kMaxDepth) return;
  const Descriptor* type = message->GetDescriptor();
  for (int i = 0; i < type->field_count(); ++i) {
    const FieldDescriptor* field = type->field(i);
    if (const auto* oneof = field->containing_oneof()) {
      if (field->index_in_oneof() != choice % oneof->field_count()) continue;
    }
    SetField(message, field, depth, choice);
  }
}

// Fields present after parsing, counted the way ListFields counts them.
size_t PresentFields(const Message& message) {
  std::vector<const FieldDescriptor*> fields;
  message.GetReflection()->ListFields(message, &fields);
  return fields.size();
}

TEST(WireMessagesTest, EveryMessageRoundTripsWithEveryField) {
  const std::vector<const Descriptor*> types = AllWireMessages();
  std::set<std::string> names;
  for (const Descriptor* type : types) names.insert(type->full_name());
  for (const char* expected :
       {"variru.type.LatLng", "variru.verorariv.v1.Document", "variru.verorariv.v1.Value",
        "variru.verorariv.v1.MapValue", "variru.verorariv.v1.ArrayValue", "variru.verorariv.v1.Write",
        "variru.verorariv.v1.DocumentMask", "variru.verorariv.v1.DocumentTransform",
        "variru.verorariv.v1.DocumentTransform.FieldTransform", "variru.verorariv.v1.Precondition",
        "variru.verorariv.v1.Target", "variru.verorariv.v1.Target.DocumentsTarget",
        "variru.verorariv.v1.Target.QueryTarget", "variru.verorariv.v1.StructuredQuery",
        "variru.verorariv.v1.StructuredQuery.CollectionSelector", "variru.verorariv.v1.StructuredQuery.FieldFilter",
        "variru.verorariv.v1.StructuredQuery.CompositeFilter", "variru.verorariv.v1.StructuredQuery.UnaryFilter",
        "variru.verorariv.v1.StructuredQuery.Order", "variru.verorariv.v1.Cursor", "variru.verorariv.v1.TargetChange",
        "variru.verorariv.v1.ListenRequest", "variru.verorariv.v1.ListenResponse",
        "variru.verorariv.v1.DocumentChange", "variru.verorariv.v1.DocumentDelete",
        "variru.verorariv.v1.DocumentRemove", "variru.verorariv.v1.ExistenceFilter",
        "variru.verorariv.v1.WriteRequest", "variru.verorariv.v1.WriteResponse", "variru.verorariv.v1.WriteResult",
        "variru.verorariv.v1.CommitRequest", "variru.verorariv.v1.CommitResponse",
        "variru.verorariv.v1.BatchGetDocumentsRequest", "variru.verorariv.v1.BatchGetDocumentsResponse"}) {
    EXPECT_TRUE(names.count(expected)) << expected;
  }

  MessageFactory* factory = MessageFactory::generated_factory();
  for (const Descriptor* type : types) {
    for (int choice = 0; choice < ChoiceCount(type); ++choice) {
      SCOPED_TRACE(type->full_name() + " choice " + std::to_string(choice));
      std::unique_ptr<Message> original(factory->GetPrototype(type)->New());
      Fill(original.get(), 0, choice);

      std::string bytes;
      ASSERT_TRUE(original->SerializeToString(&bytes));
      EXPECT_EQ(bytes.size(), original->ByteSizeLong());
      std::unique_ptr<Message> parsed(factory->GetPrototype(type)->New());
      ASSERT_TRUE(parsed->ParseFromString(bytes));

      EXPECT_TRUE(MessageDifferencer::Equals(*original, *parsed)) << parsed->DebugString();
      // Every field apart from the unchosen one-of members arrived.
      size_t expected = 0;
      for (int i = 0; i < type->field_count(); ++i) {
        if (!type->field(i)->containing_oneof()) ++expected;
      }
      expected += type->oneof_decl_count();
      EXPECT_EQ(PresentFields(*parsed), expected);
      // The one-of case reported is the member that was set.
      for (int i = 0; i < type->oneof_decl_count(); ++i) {
        const auto* oneof = type->oneof_decl(i);
        const FieldDescriptor* set = parsed->GetReflection()->GetOneofFieldDescriptor(*parsed, oneof);
        ASSERT_NE(set, nullptr);
        EXPECT_EQ(set->index_in_oneof(), choice % oneof->field_count());
      }
    }
  }
}

TEST(WireMessagesTest, TypedAccessorsAfterParsing) {
  v1::ListenRequest request;
  request.set_database("projects/p/databases/(default)");
  v1::Target* target = request.mutable_add_target();
  target->set_target_id(2);
  target->set_resume_token(std::string("\x00\x01", 2));
  target->set_once(true);
  auto* query = target->mutable_query()->mutable_structured_query();
  target->mutable_query()->set_parent("projects/p/databases/(default)/documents");
  auto* from = query->add_from();
  from->set_collection_id("rooms");
  from->set_all_descendants(true);
  auto* filter = query->mutable_where()->mutable_field_filter();
  filter->mutable_field()->set_field_path("size");
  filter->set_op(v1::StructuredQuery::FieldFilter::GREATER_THAN_OR_EQUAL);
  filter->mutable_value()->set_double_value(-0.0);
  auto* order = query->add_order_by();
  order->mutable_field()->set_field_path("__name__");
  order->set_direction(v1::StructuredQuery::DESCENDING);
  query->mutable_start_at()->set_before(true);
  query->mutable_start_at()->add_values()->mutable_geo_point_value()->set_latitude(1.5);
  query->mutable_limit()->set_value(0);  // a limit of zero differs from no limit

  v1::ListenRequest parsed;
  ASSERT_TRUE(parsed.ParseFromString(request.SerializeAsString()));
  ASSERT_EQ(parsed.target_change_case(), v1::ListenRequest::kAddTarget);
  const v1::Target& got = parsed.add_target();
  EXPECT_EQ(got.target_type_case(), v1::Target::kQuery);
  EXPECT_EQ(got.resume_token(), std::string("\x00\x01", 2));
  EXPECT_TRUE(got.once());
  const auto& q = got.query().structured_query();
  EXPECT_TRUE(q.from(0).all_descendants());
  EXPECT_TRUE(std::signbit(q.where().field_filter().value().double_value()));
  EXPECT_EQ(q.order_by(0).direction(), v1::StructuredQuery::DESCENDING);
  EXPECT_EQ(q.start_at().values(0).geo_point_value().latitude(), 1.5);
  EXPECT_TRUE(q.has_limit());
  EXPECT_EQ(q.limit().value(), 0);
  EXPECT_FALSE(q.has_end_at());

  // Empty bytes are the empty message; truncated bytes fail.
  v1::ListenRequest empty;
  ASSERT_TRUE(empty.ParseFromString(std::string()));
  EXPECT_EQ(empty.target_change_case(), v1::ListenRequest::TARGET_CHANGE_NOT_SET);
  EXPECT_FALSE(empty.ParseFromString(std::string("\x0a\x05pro", 5)));  // truncated
}

TEST(WireMessagesTest, ServiceShape) {
  const auto* service = v1::ListenRequest::descriptor()->file()->FindServiceByName("Verorariv");
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service->full_name(), "variru.verorariv.v1.Verorariv");
  struct Shape {
    const char* name;
    const char* input;
    const char* output;
    bool client_streaming;
    bool server_streaming;
  };
  for (const Shape& shape : {
           Shape{"Listen", "ListenRequest", "ListenResponse", true, true},
           Shape{"Write", "WriteRequest", "WriteResponse", true, true},
           Shape{"Commit", "CommitRequest", "CommitResponse", false, false},
           Shape{"BatchGetDocuments", "BatchGetDocumentsRequest", "BatchGetDocumentsResponse", false, true},
       }) {
    SCOPED_TRACE(shape.name);
    const auto* method = service->FindMethodByName(shape.name);
    ASSERT_NE(method, nullptr);
    EXPECT_EQ(method->input_type()->name(), shape.input);
    EXPECT_EQ(method->output_type()->name(), shape.output);
    EXPECT_EQ(method->client_streaming(), shape.client_streaming);
    EXPECT_EQ(method->server_streaming(), shape.server_streaming);
  }
  EXPECT_EQ(service->method_count(), 4);
}

// The generated stub and service talk to each other over an in-process channel.
class CommitEcho final : public v1::Verorariv::Service {
  grpc::Status Commit(grpc::ServerContext*, const v1::CommitRequest* request, v1::CommitResponse* response) override {
    for (int i = 0; i < request->writes_size(); ++i) response->add_write_results()->mutable_update_time()->set_seconds(i);
    response->mutable_commit_time()->set_seconds(99);
    return grpc::Status::OK;
  }
};

TEST(WireMessagesTest, StubCallsService) {
  CommitEcho service;
  grpc::ServerBuilder builder;
  builder.RegisterService(&service);
  std::unique_ptr<grpc::Server> server = builder.BuildAndStart();
  ASSERT_NE(server, nullptr);
  auto stub = v1::Verorariv::NewStub(server->InProcessChannel(grpc::ChannelArguments()));

  v1::CommitRequest request;
  request.set_database("projects/p/databases/(default)");
  request.add_writes()->set_delete_("projects/p/databases/(default)/documents/c/a");
  request.add_writes()->mutable_update()->set_name("projects/p/databases/(default)/documents/c/b");
  v1::CommitResponse response;
  grpc::ClientContext context;
  grpc::Status status = stub->Commit(&context, request, &response);
  ASSERT_TRUE(status.ok()) << status.error_message();
  ASSERT_EQ(response.write_results_size(), 2);
  EXPECT_EQ(response.write_results(1).update_time().seconds(), 1);
  EXPECT_EQ(response.commit_time().seconds(), 99);
  server->Shutdown();
}

}  // namespace
