-- Wireshark dissector for the tolvek repeater's protocol: control packets
-- (registration, status report, stop, the repeater's own keep-alive and the
-- bare legacy registration), statistics requests, and the fragments of a
-- statistics reply with the report put back together.
--
-- Load it for one run:   tshark -X lua_script:tolvek.lua -r capture.pcap
-- or for good: copy it into ~/.local/lib/wireshark/plugins/.
--
-- It finds the protocol on any UDP port by content (the heuristic dissector
-- "tolvek_udp"; --disable-heuristic tolvek_udp turns that off), and on the
-- ports named in its preferences:
--   tshark -o tolvek.control_ports:5002 -o tolvek.stats_ports:5003 ...

local tolvek = Proto("tolvek", "tolvek repeater protocol")

local TYPE_NAMES = { [0] = "Register", [1] = "Status report", [2] = "Stop" }
local EXT_NAMES = { [1] = "Password", [2] = "Stream status" }
local FRAGMENT_PAYLOAD = 1400
local MAX_REPLY = 16 * 1024 * 1024  -- what tolvek-stats accepts

local f = {
  magic = ProtoField.string("tolvek.magic", "Magic"),
  legacy = ProtoField.bool("tolvek.legacy", "Legacy registration"),
  vmt = ProtoField.uint8("tolvek.vmt", "Version and type", base.HEX),
  type = ProtoField.uint8("tolvek.type", "Message type", base.DEC, TYPE_NAMES, 0x1f),
  upper_bits = ProtoField.uint8("tolvek.upper_bits", "Upper bits (not read by the repeater)", base.DEC, nil, 0xe0),
  sender_id = ProtoField.ether("tolvek.sender_id", "Sender id"),
  sender_name = ProtoField.string("tolvek.sender_name", "Sender id as text"),
  keepalive = ProtoField.bool("tolvek.keepalive", "Keep-alive of a repeater"),
  ext_count = ProtoField.uint8("tolvek.ext_count", "Extension records"),
  reserved = ProtoField.uint8("tolvek.reserved", "Reserved", base.HEX),
  ext = ProtoField.none("tolvek.ext", "Extension record"),
  ext_type = ProtoField.uint8("tolvek.ext.type", "Type", base.DEC, EXT_NAMES),
  ext_length = ProtoField.uint16("tolvek.ext.length", "Data length (big-endian)"),
  ext_data = ProtoField.bytes("tolvek.ext.data", "Data"),
  ext_past_end = ProtoField.bool("tolvek.ext.past_end", "Runs past the end of the datagram"),
  password = ProtoField.string("tolvek.password", "Password"),
  password_nul = ProtoField.bool("tolvek.password.nul", "Ends with NUL"),
  status = ProtoField.uint8("tolvek.status.status", "Status"),
  received = ProtoField.uint32("tolvek.status.received_frames", "Received frames"),
  lost = ProtoField.uint32("tolvek.status.lost_frames", "Lost frames"),
  duplicate = ProtoField.uint32("tolvek.status.duplicate_frames", "Duplicate frames"),
  dropped = ProtoField.uint32("tolvek.status.dropped_frames", "Dropped frames"),
  max_jitter = ProtoField.uint16("tolvek.status.max_jitter", "Maximum jitter"),
  min_jitter = ProtoField.uint16("tolvek.status.min_jitter", "Minimum jitter"),
  avg_jitter = ProtoField.uint16("tolvek.status.avg_jitter", "Average jitter"),
  avg_delay = ProtoField.uint16("tolvek.status.avg_delay", "Average delay"),
  bit_rate = ProtoField.uint16("tolvek.status.bit_rate", "Bit rate"),
  trailing = ProtoField.bytes("tolvek.trailing", "Bytes after the records"),
  request = ProtoField.string("tolvek.stats_request", "Statistics request"),
  total = ProtoField.uint32("tolvek.reply.total_length", "Report length"),
  index = ProtoField.uint32("tolvek.reply.index", "Fragment index"),
  count = ProtoField.uint32("tolvek.reply.fragments", "Fragments in the reply"),
  text = ProtoField.string("tolvek.reply.text", "Text"),
  reassembled_in = ProtoField.framenum("tolvek.reply.reassembled_in", "Reassembled in"),
  fragment_frame = ProtoField.framenum("tolvek.reply.fragment_frame", "Fragment in frame"),
  json = ProtoField.string("tolvek.reply.json", "Reassembled report"),
}
tolvek.fields = f

local e = {
  malformed = ProtoExpert.new("tolvek.malformed", "Malformed: runs past the end of the datagram",
                              expert.group.MALFORMED, expert.severity.ERROR),
  short_status = ProtoExpert.new("tolvek.status.short", "Stream status record shorter than 27 bytes",
                                 expert.group.MALFORMED, expert.severity.WARN),
  status_not_first = ProtoExpert.new("tolvek.status.not_first",
                                     "The repeater reads a status report's figures from the first record",
                                     expert.group.PROTOCOL, expert.severity.WARN),
}
tolvek.experts = e

tolvek.prefs.control_ports = Pref.range("Control ports", "", "UDP ports of repeaters' output sockets", 65535)
tolvek.prefs.stats_ports = Pref.range("Statistics ports", "", "UDP ports of repeaters' statistics sockets", 65535)

-- Replies are put back together on the first pass over the capture and shown
-- from what that pass kept.
local open_replies, reply_of_frame

local function forget_replies()
  open_replies, reply_of_frame = {}, {}
end
forget_replies()
tolvek.init = forget_replies

-- data is nil for an empty record; anchor then marks its length field.
local function password(rec, data, anchor)
  local n = data and data:len() or 0
  local nul = n > 0 and data(n - 1, 1):uint() == 0
  local text = nul and n > 1 and data(0, n - 1) or (not nul and data) or nil
  if text then rec:add(f.password, text) else rec:add(f.password, anchor, ""):set_generated() end
  rec:add(f.password_nul, data or anchor, nul):set_generated()
  return string.format('password "%s"%s', text and text:raw() or "", nul and "" or " without NUL")
end

-- data is nil for an empty record.
local function stream_status(rec, data)
  -- Multi-byte figures are little-endian.
  local layout = {
    { f.status, 0, 1 }, { f.received, 1, 4 }, { f.lost, 5, 4 }, { f.duplicate, 9, 4 }, { f.dropped, 13, 4 },
    { f.max_jitter, 17, 2 }, { f.min_jitter, 19, 2 }, { f.avg_jitter, 21, 2 }, { f.avg_delay, 23, 2 },
    { f.bit_rate, 25, 2 },
  }
  rec:append_text(" (little-endian)")
  local n = data and data:len() or 0
  for _, l in ipairs(layout) do
    if l[2] + l[3] > n then
      rec:add_proto_expert_info(e.short_status)
      break
    end
    rec:add_le(l[1], data(l[2], l[3]))
  end
end

local function dissect_control(tvb, pinfo, tree)
  local len = tvb:len()
  pinfo.cols.protocol = "tolvek"
  local t = tree:add(tolvek, tvb(), "tolvek control packet")
  t:add(f.magic, tvb(0, 3))
  if len == 4 and tvb(3, 1):uint() == 0 then
    t:add(f.legacy, tvb(3, 1), true)
    pinfo.cols.info = "Legacy registration"
    return len
  end
  if len < 11 then
    if len > 3 then t:add(f.vmt, tvb(3, 1)) end
    t:add_proto_expert_info(e.malformed, "Malformed: a control header needs 11 bytes, this datagram has " .. len)
    pinfo.cols.info = "Control packet, header cut short [Malformed]"
    return len
  end
  local vmt = tvb(3, 1)
  t:add(f.vmt, vmt)
  t:add(f.type, vmt)
  t:add(f.upper_bits, vmt)
  local msg_type = bit.band(vmt:uint(), 0x1f)
  local id = tvb(4, 6)
  t:add(f.sender_id, id)
  local from = string.format("%02x:%02x:%02x:%02x:%02x:%02x", id:raw():byte(1, 6))
  if id:raw() == "tolvek" then
    t:add(f.sender_name, id)
    t:add(f.keepalive, id, true):set_generated()
    from = "a repeater (sender id tolvek)"
  end
  t:add(f.ext_count, tvb(10, 1))
  if len > 11 then t:add(f.reserved, tvb(11, 1)) end
  local info = { string.format("%s from %s", TYPE_NAMES[msg_type] or ("Type " .. msg_type), from) }
  if msg_type == 0 and id:raw() == "tolvek" then info[1] = "Keep-alive from " .. from end

  local pos, count, malformed = 12, tvb(10, 1):uint(), false
  for i = 1, count do
    if pos + 3 > len then
      local rec = t:add(f.ext, tvb(math.min(pos, len - 1), len > pos and len - pos or 1))
      rec:set_text(string.format("Extension record %d: head past the end", i))
      rec:add(f.ext_past_end, tvb(len - 1, 1), true):set_generated()
      rec:add_proto_expert_info(e.malformed)
      malformed = true
      pos = len
      break
    end
    local ext_type, ext_len = tvb(pos, 1):uint(), tvb(pos + 1, 2):uint()
    local avail = math.min(ext_len, len - pos - 3)
    local rec = t:add(f.ext, tvb(pos, 3 + avail))
    rec:set_text(string.format("Extension record %d: %s, %d bytes", i, EXT_NAMES[ext_type] or ("type " .. ext_type),
                               ext_len))
    rec:add(f.ext_type, tvb(pos, 1))
    rec:add(f.ext_length, tvb(pos + 1, 2))
    if avail < ext_len then
      if avail > 0 then rec:add(f.ext_data, tvb(pos + 3, avail)) end
      rec:add(f.ext_past_end, tvb(pos + 1, 2), true):set_generated()
      rec:add_proto_expert_info(e.malformed, string.format(
          "Malformed: the record claims %d bytes, the datagram holds %d more", ext_len, avail))
      malformed = true
      pos = len
      break
    end
    local data = ext_len > 0 and tvb(pos + 3, ext_len) or nil
    if data then rec:add(f.ext_data, data) end
    if ext_type == 1 then
      info[#info + 1] = password(rec, data, tvb(pos + 1, 2))
    elseif ext_type == 2 then
      stream_status(rec, data)
    end
    if msg_type == 1 and i == 1 and ext_type ~= 2 then rec:add_proto_expert_info(e.status_not_first) end
    pos = pos + 3 + ext_len
  end
  if pos < len then t:add(f.trailing, tvb(pos)) end
  pinfo.cols.info = table.concat(info, ", ") .. (malformed and " [Malformed]" or "")
  return len
end

-- A reply fragment: the same checks tolvek-stats makes before keeping one.
local function fragment_fits(tvb)
  local len = tvb:len()
  if len < 9 then return false end
  local total, index = tvb(0, 4):le_uint(), tvb(4, 4):le_uint()
  if total == 0 or total > MAX_REPLY then return false end
  local count = math.ceil(total / FRAGMENT_PAYLOAD)
  if index >= count then return false end
  return len - 8 == math.min(FRAGMENT_PAYLOAD, total - index * FRAGMENT_PAYLOAD)
end

-- On any port a fragment must also be text, and the first must open JSON.
local function fragment_is_text(tvb)
  local text = tvb:raw(8)
  if tvb(4, 4):le_uint() == 0 and text:sub(1, 1) ~= "{" then return false end
  return not text:find("[\0-\8\11\12\14-\31\127]")
end

local function keep_fragment(tvb, pinfo, total, index)
  local key = table.concat({ tostring(pinfo.src), pinfo.src_port, tostring(pinfo.dst), pinfo.dst_port, total }, " ")
  local r = open_replies[key]
  if not r or r.parts[index] then  -- a fragment seen already starts the next reply
    r = { count = math.ceil(total / FRAGMENT_PAYLOAD), parts = {}, frames = {}, n = 0 }
    open_replies[key] = r
  end
  r.parts[index] = tvb:raw(8)
  r.frames[index] = pinfo.number
  r.n = r.n + 1
  if r.n == r.count then
    local pieces = {}
    for i = 0, r.count - 1 do pieces[#pieces + 1] = r.parts[i] end
    r.text, r.done_in, r.parts = table.concat(pieces), pinfo.number, nil
    open_replies[key] = nil
  end
  reply_of_frame[pinfo.number] = r
end

local function dissect_fragment(tvb, pinfo, tree)
  pinfo.cols.protocol = "tolvek"
  local total, index = tvb(0, 4):le_uint(), tvb(4, 4):le_uint()
  local count = math.ceil(total / FRAGMENT_PAYLOAD)
  local t = tree:add(tolvek, tvb(), "tolvek statistics reply fragment")
  t:add_le(f.total, tvb(0, 4))
  t:add_le(f.index, tvb(4, 4))
  t:add(f.count, tvb(0, 4), count):set_generated()
  t:add(f.text, tvb(8))
  pinfo.cols.info = string.format("Statistics reply, fragment %d of %d (%d bytes in all)", index + 1, count, total)
  if not pinfo.visited then keep_fragment(tvb, pinfo, total, index) end
  local r = reply_of_frame[pinfo.number]
  if not (r and r.done_in) then return tvb:len() end
  if r.done_in ~= pinfo.number then
    t:add(f.reassembled_in, tvb(0, 0), r.done_in):set_generated()
    return tvb:len()
  end
  local whole = ByteArray.new(r.text, true):tvb("Reassembled report")
  for i = 0, r.count - 1 do t:add(f.fragment_frame, tvb(0, 0), r.frames[i]):set_generated() end
  t:add(f.json, whole())
  local info = tostring(pinfo.cols.info) .. ", reassembled"
  local json = Dissector.get("json")
  if json then json:call(whole, pinfo, t) end
  pinfo.cols.protocol = "tolvek"
  pinfo.cols.info = info
  return tvb:len()
end

local function dissect_request(tvb, pinfo, tree)
  pinfo.cols.protocol = "tolvek"
  local t = tree:add(tolvek, tvb(), "tolvek statistics request")
  t:add(f.request, tvb())
  pinfo.cols.info = "Statistics request"
  return tvb:len()
end

-- What a datagram is, by its content; strict away from the configured ports.
local function dissect(tvb, pinfo, tree, on_port)
  local len = tvb:len()
  if len >= 4 and tvb(0, 3):raw() == "QMZ" then return dissect_control(tvb, pinfo, tree) end
  if len >= 9 and tvb(0, 9):raw() == "get_stats" then return dissect_request(tvb, pinfo, tree) end
  if fragment_fits(tvb) and (on_port or fragment_is_text(tvb)) then return dissect_fragment(tvb, pinfo, tree) end
  return 0
end

function tolvek.dissector(tvb, pinfo, tree)
  return dissect(tvb, pinfo, tree, true)
end

tolvek:register_heuristic("udp", function(tvb, pinfo, tree)
  return dissect(tvb, pinfo, tree, false) > 0
end)

local udp_port = DissectorTable.get("udp.port")
udp_port:add_for_decode_as(tolvek)
local registered = {}

function tolvek.prefs_changed()
  for _, ports in ipairs(registered) do udp_port:remove(ports, tolvek) end
  registered = {}
  for _, ports in ipairs({ tolvek.prefs.control_ports, tolvek.prefs.stats_ports }) do
    if ports ~= "" then
      udp_port:add(ports, tolvek)
      registered[#registered + 1] = ports
    end
  end
end
