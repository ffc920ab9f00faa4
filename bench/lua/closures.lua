local function make_counter(step)
    local count = 0
    return function()
        count = count + step
        return count
    end
end
local function drive(n)
    local a = make_counter(1)
    local b = make_counter(3)
    local total = 0
    local i = 0
    while i < n do
        total = (total + a() + b()) % 1000000007
        i = i + 1
    end
    return total
end
print(drive(10000000))
