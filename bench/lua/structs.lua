local function point(x, y)
    return { x = x, y = y }
end

local function plus(a, b)
    return point(a.x + b.x, a.y + b.y)
end

local function step(p)
    p.pos = plus(p.pos, p.vel)
    if p.pos.x < 0 or p.pos.x > 1000 then
        p.vel.x = 0 - p.vel.x
        p.bounces = p.bounces + 1
    end
    if p.pos.y < 0 or p.pos.y > 1000 then
        p.vel.y = 0 - p.vel.y
        p.bounces = p.bounces + 1
    end
end

local function run(steps)
    local a = { pos = point(10, 500), vel = point(7, -3), bounces = 0 }
    local b = { pos = point(900, 20), vel = point(-5, 11), bounces = 0 }
    local total = 0
    for _ = 1, steps do
        step(a)
        step(b)
        local c = { pos = point(a.pos.x, a.pos.y), vel = point(a.vel.x, a.vel.y), bounces = a.bounces }
        c.pos = plus(c.pos, b.vel)
        step(c)
        total = total + (c.pos.x % 10 + 10) % 10 + c.bounces
    end
    return total + a.pos.x + a.pos.y * 3 + b.pos.x * 5 + b.pos.y * 7 + a.bounces + b.bounces
end
print(run(300000))
