-- trklib.lua: Wireshark dissector for the radar's UDP datagrams.
--
-- A radar packet is seven blocks, each in its own datagram(s): a 48-byte
-- header, then the arrays amplitude (1024 x int8, dB), relative velocity,
-- distance, elevation and azimuth (1024 x float32 each: km/h, m, deg, deg)
-- and phase difference (1024 x int16, raw). All values are little-endian.
-- A datagram does not say which array it carries, so array datagrams are
-- named by their size as what they can be. The header is decoded in full
-- and checked (sync pattern, version, header size).
--
-- Use once:  tshark -X lua_script:trklib.lua -r capture.pcap
-- Install:   copy into the personal Lua plugin folder (tshark -G folders).

local defaultPort = 34567
local headerBytes = 48
local syncPattern = "aaaaaaaaaaab" -- header bytes 0-5, as hex
local formatVersion = 2
local amplitudeCellsShown = 8 -- first cells decoded from a whole amplitude block

local trklib = Proto("trklib", "trklib radar datagrams")

local fields = {
    sync = ProtoField.bytes("trklib.sync", "Sync pattern"),
    version = ProtoField.int8("trklib.version", "Version"),
    header_size = ProtoField.int8("trklib.header_size", "Header size (bytes)"),
    info08 = ProtoField.int16("trklib.info08", "Info 08"),
    info10 = ProtoField.int8("trklib.info10", "Info 10"),
    info11 = ProtoField.int8("trklib.info11", "Info 11"),
    timestamp = ProtoField.int64("trklib.timestamp", "Timestamp (ms)"),
    info20 = ProtoField.int32("trklib.info20", "Info 20"),
    info24 = ProtoField.int32("trklib.info24", "Info 24"),
    info28 = ProtoField.int8("trklib.info28", "Info 28"),
    info29 = ProtoField.int8("trklib.info29", "Info 29"),
    info30 = ProtoField.int8("trklib.info30", "Info 30"),
    info31 = ProtoField.int8("trklib.info31", "Info 31"),
    info32 = ProtoField.int32("trklib.info32", "Info 32"),
    info36 = ProtoField.int32("trklib.info36", "Info 36"),
    info40 = ProtoField.int8("trklib.info40", "Info 40"),
    info41 = ProtoField.int8("trklib.info41", "Info 41"),
    info42 = ProtoField.int16("trklib.info42", "Info 42"),
    info44 = ProtoField.int32("trklib.info44", "Info 44"),
    header_error = ProtoField.string("trklib.header_error", "Header error"),
    block = ProtoField.string("trklib.block", "Block"),
    length = ProtoField.uint32("trklib.length", "Length (bytes)"),
    amplitude = ProtoField.int8("trklib.amplitude", "Amplitude (dB)"),
}
trklib.fields = fields

local badHeader = ProtoExpert.new("trklib.bad_header", "Bad header",
                                  expert.group.MALFORMED, expert.severity.ERROR)
local oversized = ProtoExpert.new("trklib.oversized", "Larger than any block",
                                  expert.group.MALFORMED, expert.severity.WARN)
trklib.experts = { badHeader, oversized }

trklib.prefs.port = Pref.uint("UDP port", defaultPort, "UDP port the radar sends to")

-- The header after the sync pattern: field, byte offset, size in bytes.
local headerLayout = {
    { "version", 6, 1 }, { "header_size", 7, 1 }, { "info08", 8, 2 }, { "info10", 10, 1 },
    { "info11", 11, 1 }, { "timestamp", 12, 8 }, { "info20", 20, 4 }, { "info24", 24, 4 },
    { "info28", 28, 1 }, { "info29", 29, 1 }, { "info30", 30, 1 }, { "info31", 31, 1 },
    { "info32", 32, 4 }, { "info36", 36, 4 }, { "info40", 40, 1 }, { "info41", 41, 1 },
    { "info42", 42, 2 }, { "info44", 44, 4 },
}

-- What an array datagram of a given size can be: the whole arrays are 1024,
-- 4096 (the four float arrays) and 2048 bytes; any size may be one part of
-- a block cut into several datagrams, except 4096, the largest block.
local arrayKinds = {
    [1024] = { "amplitude block (or part of a larger block)",
               "amplitude (or part of a larger block)" },
    [4096] = { "relative velocity, distance, elevation or azimuth block",
               "relative velocity, distance, elevation or azimuth" },
    [2048] = { "phase difference block (or part of a larger block)",
               "phase difference (or part of a larger block)" },
}
local largestBlockBytes = 4096

-- "2023-11-14 22:13:20.000 UTC" for milliseconds since 1970, or nil when the
-- value is beyond what the host's calendar functions take.
local function utcDate(ms)
    local seconds = math.floor(ms / 1000)
    local ok, text = pcall(os.date, "!%Y-%m-%d %H:%M:%S", seconds)
    if not ok or text == nil then
        return nil
    end
    return string.format("%s.%03d UTC", text, ms - seconds * 1000)
end

-- What is wrong with a 48-byte datagram as a header, or nil.
local function headerProblem(buffer)
    if tostring(buffer(0, 6):bytes()):lower() ~= syncPattern then
        return "wrong sync pattern"
    elseif buffer(6, 1):int() ~= formatVersion then
        return "version " .. buffer(6, 1):int() .. ", not " .. formatVersion
    elseif buffer(7, 1):int() ~= headerBytes then
        return "header size " .. buffer(7, 1):int() .. ", not " .. headerBytes
    end
    return nil
end

local function dissectHeader(buffer, pinfo, tree)
    tree:add(fields.block, "header"):set_generated()
    tree:add(fields.sync, buffer(0, 6))
    for _, entry in ipairs(headerLayout) do
        local name, offset, size = entry[1], entry[2], entry[3]
        local item = tree:add_le(fields[name], buffer(offset, size))
        if name == "timestamp" then
            local date = utcDate(buffer(offset, size):le_int64():tonumber())
            if date then
                item:append_text(" (" .. date .. ")")
            end
        end
    end

    local timestamp = tostring(buffer(12, 8):le_int64())
    local problem = headerProblem(buffer)
    if problem then
        local item = tree:add(fields.header_error, problem):set_generated()
        item:add_proto_expert_info(badHeader, "Bad header: " .. problem)
        pinfo.cols.info = "Bad header (" .. problem .. "), timestamp " .. timestamp
    else
        pinfo.cols.info = "Header, timestamp " .. timestamp
    end
    return "header"
end

local function dissectArray(buffer, pinfo, tree)
    local size = buffer:len()
    local kind = arrayKinds[size]
    local block, summary
    if kind then
        block, summary = kind[1], kind[2]
    elseif size > largestBlockBytes then
        block, summary = "larger than any block", "larger than any block"
    else
        block, summary = "part of an array block", "part of an array block"
    end
    local blockItem = tree:add(fields.block, block):set_generated()
    if size > largestBlockBytes then
        blockItem:add_proto_expert_info(oversized)
    end
    pinfo.cols.info = "Array block, " .. size .. " bytes: " .. summary

    if size == 1024 then
        local cells = tree:add(trklib, buffer(0, amplitudeCellsShown),
                               "Amplitude of the first " .. amplitudeCellsShown .. " cells")
        for cell = 0, amplitudeCellsShown - 1 do
            local value = buffer(cell, 1)
            cells:add(fields.amplitude, value):set_text("Cell " .. cell .. ": " .. value:int() .. " dB")
        end
    end
    return block
end

function trklib.dissector(buffer, pinfo, tree)
    pinfo.cols.protocol = "TRKLIB"
    local size = buffer:len()
    local root = tree:add(trklib, buffer())
    root:add(fields.length, size):set_generated()
    local block
    if size == headerBytes then
        block = dissectHeader(buffer, pinfo, root)
    else
        block = dissectArray(buffer, pinfo, root)
    end
    root:append_text(", " .. block .. ", " .. size .. " bytes")
    return size
end

local udpPorts = DissectorTable.get("udp.port")
local registeredPort = trklib.prefs.port
udpPorts:add(registeredPort, trklib)

function trklib.prefs_changed()
    if trklib.prefs.port ~= registeredPort then
        udpPorts:remove(registeredPort, trklib)
        registeredPort = trklib.prefs.port
        udpPorts:add(registeredPort, trklib)
    end
end
